#!/bin/sh
# Fails when an #include points the wrong way between the layers, and names
# each such line. Dependencies point one way:
#
#   engine <- core <- app <- app/qt        engine <- core <- cli
#                                          engine <- mount <- cli
#
#   engine/   includes only engine/, and inside it, layer by layer:
#             base/ <- fs/ <- format/ <- runs/ <- compat/
#             (base/ the run context, failures, digests and name texts; fs/
#             the safe file operations, working folders, journals and the
#             walk; format/ the files of a set; runs/ the split, the join, the
#             checks and the removals; compat/ the published entry points and
#             the process-wide state they keep). A layer includes only itself
#             and those to its left;
#   core/     only core/, engine/ and the standard and system headers;
#   app/      only app/, core/ and engine/, never app/qt/ or cli/;
#   app/qt/   anything but cli/;
#   mount/    only mount/ and engine/ (the set served through FUSE);
#   cli/      only cli/, core/, mount/ and engine/, never app/;
#   tests/engine/, tests/core/, tests/cli/: what their layer may, and tests/;
#   Qt (and the headers uic makes) only in app/qt/ and tests/qt/.
#
# The command line and the rules must not link the window's library either,
# and only the CMake files of app/qt/ and tests/qt/ may bring in Qt.
#
# Usage: check-layers.sh [SOURCE_DIR]   (default: the current folder)
set -eu
cd "${1:-.}"

for layer in engine core app app/qt mount cli tests; do
    [ -d "$layer" ] || { echo "check-layers: no $layer/ in $(pwd)" >&2; exit 2; }
done

status=0

find engine core app mount cli bench tests -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' \
    -o -name '*.cc' \) | sort |
    xargs awk '
    function layer(file) {
        if (file ~ /^app\/qt\//) return "app/qt"
        if (file ~ /^tests\/(qt|engine|core|cli|mount)\//) return substr(file, 1, index(substr(file, 7), "/") + 5)
        return substr(file, 1, index(file, "/") - 1)
    }
    # The layer a project include names, or "" for a system or sibling header.
    function target_layer(path) {
        if (path ~ /(^|\/)\.\.\//) return "../"
        if (path ~ /^app\/qt\//) return "app/qt"
        if (path ~ /^(engine|core|app|mount|cli|tests)\//) return substr(path, 1, index(path, "/") - 1)
        return ""
    }
    # The layers of the engine, in the order they may include each other.
    function engine_rank(file) {
        if (file ~ /^engine\/base\//) return 0
        if (file ~ /^engine\/fs\//) return 1
        if (file ~ /^engine\/format\//) return 2
        if (file ~ /^engine\/runs\//) return 3
        if (file ~ /^engine\/compat\//) return 4
        return -1
    }
    function allowed(from, to) {
        if (from == "engine") return to == "engine"
        if (from == "core") return to == "core" || to == "engine"
        if (from == "app") return to == "app" || to == "core" || to == "engine"
        if (from == "app/qt") return to != "cli" && to != "../"
        if (from == "mount") return to == "mount" || to == "engine"
        if (from == "cli") return to == "cli" || to == "core" || to == "mount" || to == "engine"
        if (from ~ /^tests\/(engine|core|cli|mount)$/) return to == "tests" || allowed(substr(from, 7), to)
        return to != "../"
    }
    # Qt by its class headers (<QString>, <QtCore/QString>), its lower-case
    # ones (<qglobal.h>), or a form uic makes (ui_MainWindow.h).
    function is_qt(path) {
        return path ~ /^Q[A-Za-z]/ || path ~ /^ui_/ || (path ~ /^q[a-z0-9_]+\.h$/ && path != "quadmath.h")
    }
    function refuse(why) {
        printf "%s:%d: %s\n    %s\n", FILENAME, FNR, why, $0
        bad = 1
    }
    /^[ \t]*#[ \t]*include[ \t]*[<"]/ {
        line = $0
        sub(/^[ \t]*#[ \t]*include[ \t]*/, "", line)
        angled = substr(line, 1, 1) == "<"
        path = substr(line, 2)
        sub(/[>"].*$/, "", path)
        from = layer(FILENAME)
        to = target_layer(path)

        if (to != "" && !allowed(from, to))
            refuse(to == "../" ? "includes by a relative path: name the folder from the root" \
                               : from "/ may not include " to "/")
        else if (from == "engine" && engine_rank(FILENAME) < 0)
            refuse("engine sources live in one of its layers: base/, fs/, format/, runs/, compat/")
        else if (from == "engine" && to == "engine" && engine_rank(path) > engine_rank(FILENAME))
            refuse(substr(FILENAME, 1, index(substr(FILENAME, 8), "/") + 7) " may not include " \
                   substr(path, 1, index(substr(path, 8), "/") + 7) " (its layers point one way)")
        else if (is_qt(path) && from != "app/qt" && from != "tests/qt")
            refuse("Qt is included only in app/qt/ and tests/qt/")
        else if (from == "core" && to == "" && !(angled && (path !~ /\// || path ~ /^sys\//)))
            refuse("core/ includes only core/, engine/ and the standard and system headers")
    }
    END { exit bad }
    ' || status=1

# One way to put a file in place: only engine/fs/ renames or links (the
# target writer, the journals, the safe file operations); no other source
# of the project calls linkat, renameat, renameat2, rename or link.
hits=$(find engine core app mount cli -path engine/fs -prune -o -type f \( -name '*.h' -o -name '*.cpp' \) \
    -print | sort | xargs grep -nE '(^|[^A-Za-z0-9_.>])(linkat|renameat2?|rename|link)[[:space:]]*\(' |
    grep -vE '^[^:]*:[0-9]+:[[:space:]]*//' || true)
if [ -n "$hits" ]; then
    echo "$hits"
    echo "    only engine/fs/ puts files in place (engine/fs/target_writer.h)"
    status=1
fi

# Links: the engine, the rules and the command line never pull in a layer above them.
for pair in engine:'parcelor_(core|app|qt|cli|mount)' core:'parcelor_(app|qt|cli|mount)' \
    mount:'parcelor_(core|app|qt|cli)' \
    cli:'parcelor_(app|qt)' tests/cli:'parcelor_(app|qt)' tests/core:'parcelor_(app|qt|cli)' \
    tests/engine:'parcelor_(core|app|qt|cli)' app:'parcelor_(qt|cli)'; do
    dir=${pair%%:*}
    hits=$(grep -nE "${pair#*:}" "$dir/CMakeLists.txt" | grep -v '^[0-9]*:[[:space:]]*#' || true)
    if [ -n "$hits" ]; then
        echo "$hits" | sed "s|^|$dir/CMakeLists.txt:|"
        echo "    $dir/ links a library above it"
        status=1
    fi
done

# Qt's include paths come only with its targets: outside app/qt/ and tests/qt/
# no CMake file finds Qt, links it or runs its code generators.
hits=$(find CMakeLists.txt engine core app mount cli bench tests -path app/qt -prune -o \
    -path tests/qt -prune -o -type f \( -name CMakeLists.txt -o -name '*.cmake' \) -print |
    sort | xargs grep -nE 'find_package\([[:space:]]*Qt|Qt[56]?::|AUTO(MOC|UIC|RCC)|qt[56]?_(add|wrap|generate)' |
    grep -vE '^[^:]*:[0-9]+:[[:space:]]*#' || true)
if [ -n "$hits" ]; then
    echo "$hits"
    echo "    Qt is used only in app/qt/ and tests/qt/"
    status=1
fi

exit $status
