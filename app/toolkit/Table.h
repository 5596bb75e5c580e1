#pragma once
// Tables fed by a data source, with columns told apart by identifier.

#include "app/toolkit/Controls.h"

#include <cstdint>
#include <string>

namespace toolkit {

// What a cell shows: nothing, a text, or a named image.
struct CellValue {
    enum class Kind { None, Text, Image };
    Kind kind = Kind::None;
    std::string value;   // the text, or the image's name
    std::string toolTip; // what the cell means, shown on hover; may be empty

    static CellValue none() { return {}; }
    static CellValue text(std::string t, std::string tip = {}) {
        return {Kind::Text, std::move(t), std::move(tip)};
    }
    static CellValue image(std::string name, std::string tip = {}) {
        return {Kind::Image, std::move(name), std::move(tip)};
    }
    // What the cell shows; the tool tip is not part of it.
    bool operator==(const CellValue& other) const {
        return kind == other.kind && value == other.value;
    }
};

class TableView;

class TableDataSource {
public:
    virtual ~TableDataSource() = default;
    virtual int64_t numberOfRowsInTableView(const TableView* table) = 0;
    virtual CellValue tableView_objectValueForTableColumn_row(const TableView* table,
                                                              const std::string& columnId,
                                                              int64_t row) = 0;
};

class TableView : public Control {
public:
    // Asks the data source again for every row and cell.
    virtual void reloadData() = 0;
    virtual void setDataSource(TableDataSource* source) = 0;
    // Accepts drags that carry the given pasteboard type.
    virtual void registerForDraggedTypes(const std::string& type) = 0;
};

} // namespace toolkit
