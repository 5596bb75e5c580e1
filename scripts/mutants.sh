#!/usr/bin/env bash
# Mutation score of the engine and command-line tests against the safety steps.
#
#   scripts/mutants.sh [ID...]     all mutants below, or only those listed
#   scripts/mutants.sh --check     no build: only that every mutant's text
#                                  occurs exactly once (CI runs this, so a
#                                  change cannot retire a mutant unseen)
#
# Each mutant is one exact textual replacement in one file: the text must occur
# exactly once there, or the mutant is reported as broken and the script ends
# non-zero. One at a time, the file is changed, the tests' targets are built in
# a build folder of the script's own (BUILD_DIR, default build-mutants), the
# tests run, and the file gets its text back (on Ctrl-C and on any exit too).
#
# The tests run are `ctest -L 'engine|cli'` (the join and removal safety tests
# of the window's controller among them) less three that cannot see a mutant
# of the sources: engine_standalone_build (compiles the engine on its own,
# 20 s), package_installs_and_runs and mime_type_maps_a_manifest. Only their
# targets are built: engine_tests, app_tests, cli_tests, parcelor, fuzz_replay.
#
# Prints one line per surviving mutant, then `killed K of N` as the last line.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR=${BUILD_DIR:-build-mutants}
JOBS=${JOBS:-2}
TARGETS=(engine_tests app_tests cli_tests parcelor fuzz_replay)
SKIPPED='^(engine_standalone_build|package_installs_and_runs|mime_type_maps_a_manifest)$'

# One mutant per record: "@@ ID FILE | what it does", a line "- TEXT" with the
# text to find, a line "+ TEXT" with what takes its place. Lines starting
# with '#' are comments.
MUTANTS=$(
    cat <<'EOF'
@@ 1 engine/fs/safe_fs.cpp | directory opens without O_NOFOLLOW
- ::openat(dirFd, name, kFolderFlags | O_NOFOLLOW)
+ ::openat(dirFd, name, kFolderFlags)
@@ 2 engine/fs/safe_fs.cpp | regular-file opens without O_NOFOLLOW
- (followLink ? 0 : O_NOFOLLOW)
+ (followLink ? 0 : 0)
@@ 3 engine/fs/safe_fs.cpp | the regular-file check on open dropped
- if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
+ if (fstat(fd.get(), &st) != 0) {
# The temporaries of the join come from RunFolder::createFile;
# they are the only temporary files the engine makes.
@@ 4 engine/fs/run_folder.cpp | O_EXCL dropped from temporaries
- O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode
+ O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode
@@ 5 engine/fs/safe_fs.cpp | the fsync of written text files skipped
- (!sync || fsync(fd_.get()) == 0)
+ (!sync || true)
@@ 6 engine/runs/piece_folder.cpp | the split's exclusive lock made shared
- if (!lockSoon(outFd, true)) {
+ if (!lockSoon(outFd, false)) {
@@ 7 engine/runs/removal.cpp | the removal's identity comparison skipped
- !identity || !(now == *identity)
+ !identity
@@ 8 engine/runs/removal.cpp | syncfs before a removal skipped
- if (!fd || syncfs(fd.get()) != 0) {
+ if (!fd) {
@@ 9 engine/runs/removal.cpp | the lock in the removal of joined pieces dropped
- if (!holder || !lockFolder(holder.get(), true)) {
+ if (!holder) {
@@ 10 engine/runs/removal.cpp | emptied folders removed shallowest first
- std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/')
+ std::count(a.begin(), a.end(), '/') < std::count(b.begin(), b.end(), '/')
@@ 11 engine/runs/join.cpp | the piece's identity re-check before its copy skipped
- !(now == job.pieces[slice.piece].identity)
+ false
@@ 12 engine/runs/join.cpp | the join's checksum verdict ignored
- PieceVerifier::Verdict::Good) {
+ PieceVerifier::Verdict::Good && false) {
@@ 13 engine/runs/join.cpp | a piece-index bound >= made >
- record.pieceIndex >= job.pieceCount
+ record.pieceIndex > job.pieceCount
@@ 14 engine/fs/safe_fs.cpp | RENAME_NOREPLACE dropped from the one rename without replacing
- renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0
+ renameat2(fromFd, from, toFd, to, 0) == 0
@@ 15 engine/runs/join.cpp | the write-over-own-set check dropped
- if (!streamed && writesOverItsOwnSet(job, out.get(), targets, fileSet)) return run.failure();
+ if (!streamed && false && writesOverItsOwnSet(job, out.get(), targets, fileSet)) return run.failure();
@@ 16 engine/runs/join.cpp | a slice bound that ignores the offset
- slice.length > piece->second.size - slice.offset
+ slice.length > piece->second.size
@@ 17 engine/base/pipeline.cpp | a slice end < made <=
- if (got < want) return taken; // the source ended
+ if (got <= want) return taken; // the source ended
@@ 18 engine/runs/split.cpp | the changed-during-split check dropped
- if (!job.aborted && job.stored != job.totalSize) {
+ if (false) {
@@ 19 engine/runs/split.cpp | the piece fsync before a replace skipped
- if (job.sync && fsync(piece.get()) != 0) {
+ if (false) {
@@ 20 engine/runs/split_sources.cpp | every file marked unchanged
- identityOf(source.fd.get(), after) && after == source.record.identity
+ true
@@ 21 engine/runs/piece_hashing.cpp | the verifier's hash comparison skipped
- !hex.empty() && hex == expected_[index] ? Verdict::Good
+ !hex.empty() ? Verdict::Good
@@ 22 engine/format/checksums.cpp | the manifest's hash check skipped
- if (!manifest || sha256OfFile(manifest.get(), run, false) != entries[at].hex)
+ if (!manifest)
@@ 23 engine/format/manifest.cpp | the manifest's record caps dropped
- if (header.pieceCount > kManifestMaxPieceCount || header.fileCount > kManifestMaxFileCount)
+ if (false)
@@ 24 cli/CommandLine.cpp | the size parser's overflow check dropped
- if (number < 1 || number > std::numeric_limits<int64_t>::max() / s.factor)
+ if (number < 1)
@@ 25 cli/CommandLine.cpp | --remove-source allowed with --no-checksums
- if (o.removeSource && o.noChecksums)
+ if (false)
@@ 26 engine/runs/join.cpp | a new file not kept as private as the pieces
- (0666 & ~job.umask) & static_cast<mode_t>(job.pieceMode);
+ (0666 & ~job.umask);
# Only this user's own working state steers a run.
@@ 100 engine/fs/run_folder.cpp | a working folder of another user's trusted
- return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
+ return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
@@ 101 engine/fs/run_folder.cpp | a join journal's folder going up read as any other
- (!mtreeUnescaped(folder, move.folder) || !isSafeRelativePath(move.folder)))
+ (!mtreeUnescaped(folder, move.folder)))
@@ 102 engine/fs/safe_fs.cpp | a path below a folder may go up
- if (!path.empty() && !isSafeRelativePath(path)) {
+ if (false) {
@@ 103 engine/fs/run_folder.cpp | a replace journal moves files into any folder of its destination's name
- if (!isTheNewFolder(destination.get(), journal)) {
+ if (!isTheNewFolder(destination.get(), journal) && false) {
@@ 104 engine/runs/join.cpp | a manifest's record may name a reserved name
- if (!reservedComponentOf(name).empty())
+ if (false)
@@ 105 engine/runs/join.cpp | a tree description may name a reserved name
- if (!reservedComponentOf(path).empty())
+ if (false)
@@ 106 engine/fs/tree_walk.cpp | a split stores entries of reserved names
- if (isReservedName(name)) {
+ if (false) {
@@ 107 engine/fs/run_folder.cpp | working folders made as the umask allows
- constexpr mode_t kPrivate = 0700;
+ constexpr mode_t kPrivate = 0777;
@@ 108 engine/runs/piece_folder.cpp | a new set's folder left private
- if (fchmod(temp.fd(), newMode) != 0)
+ if (newMode == 0 && fchmod(temp.fd(), newMode) != 0)
@@ 109 engine/runs/join.cpp | a new folder of a join into a tree made open
- made = mkdirat(workFd, name, 0700) == 0;
+ made = mkdirat(workFd, name, 0777) == 0;
@@ 110 engine/runs/encrypted_set.cpp | an encrypted set may write a reserved name
- if (!reservedComponentOf(name).empty()) {
+ if (false) {
@@ 111 engine/runs/split.cpp | a source of a reserved name split
- if (isReservedName(job.baseName))
+ if (false)
@@ 112 engine/fs/run_folder.cpp | an undo acts on entries it did not move
- if (!isTheMovedEntry(folder.get(), *move)) continue; // never made (or no longer ours)
+ if (!isTheMovedEntry(folder.get(), *move) && false) continue;
@@ 113 engine/fs/safe_fs.cpp | a marker of another user's read
- if (onlyOwn && (st.st_uid != geteuid() || st.st_nlink != 1)) {
+ if (onlyOwn && false) {
# What the command line refuses before a run.
@@ 300 cli/SplitCommand.cpp | split -n past a set's limit says the count the source allows first
- if (plan.count > kMaxSetPieces) return s.fail(pieceCountProblem(*o.count));
+ if (false) return s.fail(pieceCountProblem(*o.count));
@@ 301 cli/SplitCommand.cpp | the piece-count limit left to the engine
- if (const std::string problem = pieceCountProblem(pieces); !problem.empty())
+ if (const std::string problem = pieceCountProblem(pieces); false)
@@ 302 cli/CommandLine.cpp | an operand after --version or --help ignored
- else if (!o.operands.empty()) // they take none: a stray one is not ignored
+ else if (false) // they take none: a stray one is not ignored
@@ 303 cli/main.cpp | --version and --help win over a usage error
- if (!parsed.error.empty()) {
+ if (!parsed.error.empty() && !options.version && !options.help) {
@@ 200 engine/runs/numbered_parts.cpp | a decimal number held to its width (.1000 not read after .999)
- suffix.size() <= static_cast<std::size_t>(kMaxDecimalWidth) && suffix.front() != '0';
+ suffix.size() <= static_cast<std::size_t>(kMaxDecimalWidth) && false;
@@ 201 engine/runs/numbered_parts.cpp | a listed part the series does not take passed over
- if (!ordinal && listing.naming.numberedAlike(name)) {
+ if (!ordinal && false) {
@@ 202 engine/format/age_format.cpp | the age header not bounded from its first byte
- if (!headerDone_ && buffer_.size() > kHeaderBound)
+ if (!headerDone_ && false)
@@ 203 engine/format/age_format.cpp | a scrypt work factor not held to the memory available
- if (availableBytes && needs > *availableBytes)
+ if (false)
@@ 204 engine/runs/recovery.cpp | a recovery header's shape not compared with a split's
- if (why.empty() && made == s) return {};
+ if (why.empty()) return {};
@@ 205 engine/runs/recovery.cpp | a recovery header's piece lengths not checked
- if (!last && length != s.columnLength)
+ if (false)
@@ 206 engine/runs/recovery.cpp | a recovery header's set file lengths not bounded by its pieces
- if (!membersFitTheSet(h)) return
+ if (!membersFitTheSet(h) && false) return
@@ 207 engine/runs/recovery.cpp | the cap on a set's columns dropped
- columns + recovery > kMaxColumns) return -1;
+ false) return -1;
EOF
)

ids=() files=() what=() from=() to=()
while IFS= read -r line; do
    case $line in
    '#'* | '') ;;
    '@@ '*)
        rest=${line#@@ }
        ids+=("${rest%% *}")
        rest=${rest#* }
        files+=("${rest%% | *}")
        what+=("${rest#* | }")
        ;;
    '- '*) from+=("${line#- }") ;;
    '+ '*) to+=("${line#+ }") ;;
    *)
        echo "mutants.sh: cannot read the list at: $line" >&2
        exit 2
        ;;
    esac
done <<<"$MUTANTS"
if [ ${#ids[@]} -ne ${#from[@]} ] || [ ${#ids[@]} -ne ${#to[@]} ]; then
    echo "mutants.sh: every mutant needs one '-' and one '+' line" >&2
    exit 2
fi

# The file being mutated and its original text, for the restore.
current=""
backup=$(mktemp "${TMPDIR:-/tmp}/parcelor-mutant.XXXXXX")
restore() {
    # Copied back with a new modification time, so the next build compiles it again.
    if [ -n "$current" ]; then cat "$backup" >"$ROOT/$current" && current=""; fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'restore; echo "mutants.sh: interrupted" >&2; exit 130' INT TERM

# Replaces the only occurrence of $FROM in the file with $TO; fails when the
# text occurs any other number of times.
apply() {
    FROM=$2 TO=$3 perl -e '
        my $file = shift;
        open(my $in, "<", $file) or die "$file: $!\n";
        local $/; my $text = <$in>; close $in;
        my $count = () = $text =~ /\Q$ENV{FROM}\E/g;
        if ($count != 1) { print STDERR "$count\n"; exit 3; }
        $text =~ s/\Q$ENV{FROM}\E/$ENV{TO}/;
        open(my $out, ">", $file) or die "$file: $!\n";
        print $out $text; close $out or die "$file: $!\n";' "$1"
}

build() {
    cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]}" >"$BUILD_DIR/mutant-build.log" 2>&1
}

run_tests() {
    (cd "$BUILD_DIR" && ctest -j "$JOBS" -L 'engine|cli' -E "$SKIPPED" --stop-on-failure \
        >mutant-test.log 2>&1)
}

if [ "${1:-}" = "--check" ]; then
    stale=0
    for i in "${!ids[@]}"; do
        count=$(FROM=${from[$i]} perl -e 'local $/; my $t = <>; my $n = () = $t =~ /\Q$ENV{FROM}\E/g; print $n' "${files[$i]}")
        if [ "$count" != 1 ]; then
            echo "mutant ${ids[$i]} (${files[$i]}): its text occurs $count times, not once" >&2
            stale=1
        fi
    done
    [ "$stale" -eq 0 ] && echo "every one of ${#ids[@]} mutants applies"
    exit $((stale * 2))
fi
selected=("$@")
wanted() {
    [ ${#selected[@]} -eq 0 ] && return 0
    local id
    for id in "${selected[@]}"; do [ "$id" = "$1" ] && return 0; done
    return 1
}

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
echo "building and testing the unchanged sources" >&2
if ! build; then
    echo "mutants.sh: the unchanged sources do not build (see $BUILD_DIR/mutant-build.log)" >&2
    exit 2
fi
if ! run_tests; then
    echo "mutants.sh: the tests fail without any mutant (see $BUILD_DIR/mutant-test.log)" >&2
    exit 2
fi

killed=0 total=0 broken=0 survivors=()
for i in "${!ids[@]}"; do
    wanted "${ids[$i]}" || continue
    total=$((total + 1))
    label="mutant ${ids[$i]} (${files[$i]}): ${what[$i]}"
    cp "${files[$i]}" "$backup"
    current=${files[$i]}
    if ! count=$(apply "${files[$i]}" "${from[$i]}" "${to[$i]}" 2>&1 >/dev/null); then
        restore
        echo "BROKEN $label: its text occurs ${count:-?} times, not once" | tee /dev/stderr
        broken=$((broken + 1))
        continue
    fi
    if ! build; then
        restore
        echo "BROKEN $label: does not build (see $BUILD_DIR/mutant-build.log)" | tee /dev/stderr
        broken=$((broken + 1))
        continue
    fi
    if run_tests; then
        survivors+=("survived $label")
        echo "survived $label" >&2
    else
        killed=$((killed + 1))
        echo "killed $label: $(grep -m1 -oE '[0-9]+ - [^ ]+' "$BUILD_DIR/mutant-test.log" || true)" >&2
    fi
    restore
done
# The build folder is left built from the unchanged sources.
build || true

for line in "${survivors[@]}"; do echo "$line"; done
echo "killed $killed of $total"
[ "$broken" -eq 0 ] || exit 2
