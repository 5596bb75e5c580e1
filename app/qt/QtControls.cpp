#include "app/qt/QtControls.h"

#include <algorithm>

namespace qtkit {

void LabelField::setStringValue(const std::string& text) {
    widget()->setText(QString::fromStdString(text));
}
std::string LabelField::stringValue() const {
    return widget()->text().toStdString();
}

void LineEditField::setStringValue(const std::string& text) {
    widget()->setText(QString::fromStdString(text));
}
std::string LineEditField::stringValue() const {
    return widget()->text().toStdString();
}

void ProgressIndicator::setDoubleValue(double value) {
    widget()->setValue(static_cast<int>(std::clamp(value, 0.0, 100.0)));
}

} // namespace qtkit
