// The command line through its real binary, in temporary folders.

#include "cli/CommandLine.h"

#include "tests/support/LoopImage.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1; // the exit status, or 128 + the signal
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the shell line `command` with standard input from /dev/null, and
// catches what it writes.
Outcome captured(const TempDir& dir, std::string command) {
    command += " </dev/null >" + quote(dir / ".out") + " 2>" + quote(dir / ".err");
    const int status = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = readFile(dir / ".out");
    o.err = readFile(dir / ".err");
    fs::remove(dir / ".out");
    fs::remove(dir / ".err");
    return o;
}

// Runs parcelor with `args` in `folder`.
Outcome parcelor(const TempDir& dir, const std::vector<std::string>& args,
                 const std::string& folder = "/") {
    std::string command = "cd " + quote(folder) + " && " + PARCELOR_CLI;
    for (const std::string& arg : args)
        command.append(" ").append(quote(arg));
    return captured(dir, command);
}

std::size_t entries(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// A JSON value, as far as the lines of --json need: objects, strings, numbers.
bool jsonValue(const std::string& s, std::size_t& i);
bool jsonString(const std::string& s, std::size_t& i) {
    if (s[i] != '"') return false;
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return ++i, true;
    }
    return false;
}
bool jsonValue(const std::string& s, std::size_t& i) {
    if (i >= s.size()) return false;
    if (s[i] == '"') return jsonString(s, i);
    if (s[i] == '{') {
        ++i;
        if (s[i] == '}') return ++i, true;
        for (;;) {
            if (!jsonString(s, i) || s[i++] != ':' || !jsonValue(s, i)) return false;
            if (s[i] == '}') return ++i, true;
            if (s[i++] != ',') return false;
        }
    }
    const std::size_t start = i;
    if (s[i] == '-') ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    return i > start;
}
bool isJsonObjectLine(const std::string& line) {
    std::size_t i = 0;
    return !line.empty() && line[0] == '{' && jsonValue(line, i) && i == line.size();
}

} // namespace

TEST(CliSize, ReadsSuffixesAsSplitDoes) {
    EXPECT_EQ(parseSize("10"), 10);
    EXPECT_EQ(parseSize("2K"), 2048);
    EXPECT_EQ(parseSize("2KiB"), 2048);
    EXPECT_EQ(parseSize("2KB"), 2000);
    EXPECT_EQ(parseSize("3M"), 3 << 20);
    EXPECT_EQ(parseSize("3MB"), 3000000);
    EXPECT_EQ(parseSize("1G"), int64_t{1} << 30);
    EXPECT_EQ(parseSize("1T"), int64_t{1} << 40);
    for (const char* bad : {"", "0", "K", "-1", "1.5M", "1X", "9999999999999999T"})
        EXPECT_FALSE(parseSize(bad)) << bad;
}

TEST(Cli, SplitBySizeOrCountThenJoinAndList) {
    TempDir dir;
    writeFile(dir / "in/data.bin", seededBytes(1, 10000));
    auto r = parcelor(dir, {"split", "-q", "-b", "2KB", dir / "in/data.bin", dir.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir / "data_spt/data_0.spt"), 2000u);
    EXPECT_EQ(fs::file_size(dir / "data_spt/data_4.spt"), 2000u);

    r = parcelor(dir, {"split", "--replace", "--count=7", "--", "data.bin"}, dir / "in");
    ASSERT_EQ(r.status, 0) << r.err;
    // What it prints counts in powers of 1024 and says so; its input's KB is 1,000 bytes.
    EXPECT_NE(r.err.find("into 7 pieces of 1.40 KiB (1,429 bytes)"), std::string::npos) << r.err;
    EXPECT_TRUE(exists(dir / "in/data_spt/data_6.spt"));
    EXPECT_FALSE(exists(dir / "in/data_spt/data_7.spt"));

    // More pieces than a set holds, asked by count or by size: one message
    // naming the limit, and nothing made.
    writeFile(dir / "big.bin", "");
    fs::resize_file(dir / "big.bin", 3000000);
    for (const auto& [cut, pieces] :
         {std::pair{"-n99999999999", "99,999,999,999"}, std::pair{"-b1", "3,000,000"}}) {
        r = parcelor(dir, {"split", cut, dir / "big.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("parcelor: A set holds at most 2,097,152 pieces, not ") +
                             pieces + ".\n");
    }
    EXPECT_FALSE(exists(dir / "big_spt"));

    writeFile(dir / "pw", "sesame\n");
    writeFile(dir / "in/tree/a/b.txt", seededBytes(2, 5000));
    writeFile(dir / "in/tree/c.txt", "");
    r = parcelor(dir, {"split", "-q", "--password-file", dir / "pw", "-b", "1K", dir / "in/tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = parcelor(dir, {"list", dir / "in/tree_spt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("mode:       folder\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("password:   yes\n"), std::string::npos);
    EXPECT_NE(r.out.find("checksums:  yes\n"), std::string::npos);
    EXPECT_NE(r.out.find("tree_4.spt  904  ok\n"), std::string::npos) << r.out;

    fs::create_directories(dir / "out");
    r = parcelor(dir, {"join", "-q", dir / "in/tree_spt", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("protected by a password"), std::string::npos) << r.err;
    writeFile(dir / "wrong", "open sesame");
    r = parcelor(
        dir, {"join", "-q", "--password-file", dir / "wrong", dir / "in/tree_spt", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "parcelor: wrong password\n");
    r = parcelor(dir,
                 {"join", "-q", "--password-file", dir / "pw", dir / "in/tree_spt", dir / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(treeContents(dir / "out/tree"), treeContents(dir / "in/tree"));
    r = parcelor(dir,
                 {"join", "-q", "--password-file", dir / "pw", dir / "in/tree_spt", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already exists; use --replace"), std::string::npos) << r.err;
}

TEST(Cli, VerifyFindsAByteChangedPastTheFirstKilobyte) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(3, 30000));
    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "10000", dir / "data.bin"}).status, 0);
    auto r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3 pieces checked, 0 bad\n");

    std::string piece = readFile(dir / "data_spt/data_1.spt");
    piece[5000] ^= 0x01;
    writeFile(dir / "data_spt/data_1.spt", piece);
    r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "parcelor: " + (dir / "data_spt/data_1.spt") + " does not match its checksum\n");
    EXPECT_EQ(r.out, "3 pieces checked, 1 bad\n");

    fs::remove(dir / "data_spt/SHA256SUMS");
    r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("SHA256SUMS is missing while CONTENTS.sha256 is there"), std::string::npos)
        << r.err;
    fs::remove(dir / "data_spt/CONTENTS.sha256");
    r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only the quick check was possible"), std::string::npos) << r.err;
}

TEST(Cli, UsageErrorsExitTwoAndASetInTheWayIsNamed) {
    TempDir dir;
    writeFile(dir / "report.pdf", seededBytes(4, 3000));
    writeFile(dir / "report.docx", seededBytes(5, 3000));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"split"},
             {"split", "-b", "1K", "-n", "3", dir / "report.pdf"},
             {"split", "--remove-source", "--no-checksums", dir / "report.pdf"},
             {"split", "--frob", dir / "report.pdf"},
             {"join", "--remove-source", dir.path().string()},
             {"verify", "a", "b"},
             {"split", "-b", "12Q", dir / "report.pdf"},
             {"--version", "extra"},
             {"split", "--help", dir / "report.pdf"}}) {
        const Outcome r = parcelor(dir, args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("parcelor: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(parcelor(dir, {"split", "--help"}).status, 0);
    EXPECT_EQ(parcelor(dir, {"--version"}).out, "parcelor (Morvane Parcelor) 1.1\n");

    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "1K", dir / "report.pdf"}).status, 0);
    const Outcome r = parcelor(dir, {"split", "-q", "-b", "1K", dir / "report.docx"});
    EXPECT_EQ(r.status, 1);
    // Another source's set is never offered for replacing: a name that
    // cannot collide again is ("report.docx" would make report_spt again).
    EXPECT_NE(r.err.find("(report.pdf, 3 pieces); use --name report-2.docx"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("--replace"), std::string::npos) << r.err;
    EXPECT_EQ(
        parcelor(dir, {"split", "-q", "--name", "report-2.docx", "-b", "1K", dir / "report.docx"})
            .status,
        0);
    EXPECT_TRUE(exists(dir / "report_spt/report_0.spt"));
    EXPECT_TRUE(exists(dir / "report-2_spt/report-2_0.spt"));
    // The same source's set again: replacing it is what the user may want.
    EXPECT_NE(parcelor(dir, {"split", "-q", "-b", "1K", dir / "report.pdf"})
                  .err.find("(report.pdf, 3 pieces); use --replace"),
              std::string::npos);
    EXPECT_EQ(parcelor(dir, {"split", "-q", "--replace", "-b", "1K", dir / "report.pdf"}).status,
              0);
}

TEST(Cli, JsonLinesAndRemovalsThatNeedTheFullCheck) {
    TempDir dir;
    writeFile(dir / "in/data.bin", seededBytes(6, 20000));
    auto r = parcelor(dir, {"split", "--json", "--remove-source", "-b", "5K", dir / "in/data.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(dir / "in/data.bin"));
    std::size_t lines = 0;
    for (std::size_t start = 0; start < r.out.size(); ++lines) {
        const std::size_t end = r.out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(isJsonObjectLine(r.out.substr(start, end - start)))
            << r.out.substr(start, end - start);
        start = end + 1;
    }
    EXPECT_GE(lines, 3u); // start, progress, done
    EXPECT_NE(
        r.out.find("{\"event\":\"done\",\"version\":1,\"exit\":0,\"kind\":\"ok\",\"reason\":\"\","
                   "\"shared\":0,\"written\":20000}\n"),
        std::string::npos)
        << r.out;

    // Which check a join made is in its last line; without checksum files it
    // can only be the quick one, which removes nothing and can be refused.
    fs::create_directories(dir / "full");
    r = parcelor(dir, {"join", "--json", dir / "in/data_spt", dir / "full"});
    EXPECT_NE(r.out.find("\"exit\":0,\"kind\":\"ok\",\"reason\":\"\",\"check\":\"full\","
                         "\"replaced\":0,\"added\":1,\"shared\":0,\"written\":20000}"),
              std::string::npos)
        << r.out;
    fs::remove(dir / "in/data_spt/SHA256SUMS");
    fs::remove(dir / "in/data_spt/CONTENTS.sha256");
    r = parcelor(dir, {"join", "-q", "--remove-pieces", dir / "in/data_spt", dir / "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot be fully verified"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "in/data.bin"));
    EXPECT_TRUE(exists(dir / "in/data_spt/spt_config.morvspt"));
    r = parcelor(dir, {"join", "--require-checksums", dir / "in/data_spt", dir / "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(dir / "in/data.bin"));
    r = parcelor(dir, {"join", "--json", dir / "in/data_spt", dir / "in"});
    EXPECT_NE(r.out.find("\"check\":\"quick\","), std::string::npos) << r.out;
}

// Unix manners: clustered short options and abbreviations as getopt_long
// takes them, names that cannot forge a line, a write error on standard
// output is a failure, and a refused run still ends with one done line.
// A folder's split names what it leaves out; a join over a tree says what it
// changed, or that nothing was.
TEST(Cli, AFolderJoinSaysWhatItChanged) {
    TempDir dir;
    writeFile(dir / "proj/a.txt", "aaaa");
    writeFile(dir / "proj/sub/b.txt", "bbbb");
    writeFile(dir / "proj/.env", "secret");
    Outcome r = parcelor(dir, {"split", "-b", "1K", dir / "proj"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Not stored: .env; use --hidden to keep them."), std::string::npos)
        << r.err;
    fs::create_directory(dir / "out");
    ASSERT_EQ(parcelor(dir, {"join", "-q", dir / "proj_spt", dir / "out"}).status, 0);
    writeFile(dir / "out/proj/a.txt", "edited");
    fs::remove(dir / "out/proj/sub/b.txt");
    r = parcelor(dir, {"join", "--replace", dir / "proj_spt", dir / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("replaced 1 file, added 1"), std::string::npos) << r.err;
    fs::remove(dir / "out/proj/a.txt");
    fs::create_directory(dir / "out/proj/a.txt");
    r = parcelor(dir, {"join", "--replace", dir / "proj_spt", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a folder is in its place; nothing was changed"), std::string::npos)
        << r.err;
}

TEST(Cli, BehavesAsAUnixToolDoes) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(3, 3000));
    auto r = parcelor(dir, {"split", "-qfb1000", "--repl", dir / "data.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = parcelor(dir, {"split", "--re", dir / "data.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("'--re' is ambiguous"), std::string::npos) << r.err;

    r = captured(dir, "{ " + std::string(PARCELOR_CLI) + " list " + quote(dir / "data_spt") +
                          " >/dev/full; }");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("write error: No space left on device"), std::string::npos) << r.err;

    r = parcelor(dir, {"verify", dir / "bad\nname_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("bad\\nname_spt"), std::string::npos) << r.err;

    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"split", "--json"},
          std::vector<std::string>{"join", "--json", dir / "missing_spt"}}) {
        r = parcelor(dir, refused);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_EQ(r.out.rfind("{\"event\":\"done\",\"version\":1,\"exit\":", 0), 0u) << r.out;
        EXPECT_TRUE(isJsonObjectLine(r.out.substr(0, r.out.size() - 1))) << r.out;
    }
}

TEST(Cli, PasswordFilesAreBoundedAndEitherLineEndingOpensASet) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(8, 3000));
    writeFile(dir / "lf", "pw\n");
    ASSERT_EQ(
        parcelor(dir, {"split", "-q", "-b", "1K", "--password-file", dir / "lf", dir / "data.bin"})
            .status,
        0);
    fs::create_directories(dir / "out");
    const auto join = [&](const std::string& passwordFile) {
        return parcelor(dir, {"join", "-q", "--replace", "--password-file", passwordFile,
                              dir / "data_spt", dir / "out"});
    };

    writeFile(dir / "nul", std::string("pw\0zzz\n", 7));
    writeFile(dir / "long", std::string(4097, 'x'));
    writeFile(dir / "longest", std::string(4096, 'x'));
    for (const auto& [file, message] : std::vector<std::pair<std::string, std::string>>{
             {"/dev/zero", "the password file /dev/zero is longer than 4096 bytes"},
             {dir / "long", "the password file " + (dir / "long") + " is longer than 4096 bytes"},
             {dir / "nul", "the password file " + (dir / "nul") + " holds a NUL byte"},
             {dir / "longest", "wrong password"}}) {
        const Outcome r = join(file);
        EXPECT_EQ(r.status, 1) << file;
        EXPECT_EQ(r.err, "parcelor: " + message + "\n");
    }

    writeFile(dir / "crlf", "pw\r\n");
    Outcome r = join(dir / "crlf");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "out/data.bin"), readFile(dir / "data.bin"));

    // Earlier builds dropped only the LF: a set made with "pw\r\n" holds the
    // digest of "pw\r", as one made now with "pw\r\r\n" does.
    writeFile(dir / "old", "pw\r\r\n");
    ASSERT_EQ(parcelor(dir, {"split", "-q", "--replace", "-b", "1K", "--password-file", dir / "old",
                             dir / "data.bin"})
                  .status,
              0);
    r = join(dir / "crlf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(join(dir / "lf").err, "parcelor: wrong password\n");
}

TEST(Cli, ASignalEndsTheWaitForAPasswordFifo) {
    TempDir dir;
    writeFile(dir / "pw", "pw\n");
    writeFile(dir / "data.bin", seededBytes(9, 100));
    ASSERT_EQ(
        parcelor(dir, {"split", "-q", "--password-file", dir / "pw", dir / "data.bin"}).status, 0);
    fs::create_directories(dir / "out");
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(PARCELOR_CLI, "parcelor", "join", "-q", "--password-file", fifo.c_str(),
              (dir / "data_spt").c_str(), (dir / "out").c_str(), nullptr);
        _exit(127);
    }
    // A writer that stays open and writes nothing: the join waits for it.
    int writer = -1;
    int status = 0;
    while ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 &&
           waitpid(pid, &status, WNOHANG) == 0)
        usleep(10000);
    ASSERT_GE(writer, 0) << "the join ended before it opened the FIFO";
    kill(pid, SIGTERM);
    pid_t ended = 0;
    for (int i = 0; i < 1000 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i)
        usleep(10000);
    if (ended == 0) { // still waiting after 10 s
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(writer);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

namespace {

// strace can trace and inject here (ptrace may be refused in a container).
bool straceWorks() {
    return std::system("strace -f -o /dev/null -e inject=getpid:error=EPERM:when=1 true "
                       ">/dev/null 2>&1") == 0;
}

// Runs parcelor under strace, which acts on it as `inject` says.
Outcome traced(const TempDir& dir, const std::string& inject,
               const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-f",        "-o", "/dev/null", "-e", "inject=" + inject,
                                    PARCELOR_CLI};
    all.insert(all.end(), args.begin(), args.end());
    // LeakSanitizer cannot work under ptrace; the suite's other runs check leaks.
    std::string command = "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec strace";
    for (const std::string& arg : all)
        command.append(" ").append(quote(arg));
    return captured(dir, command);
}

bool holdsRunLeftovers(const std::string& folder) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".parcelor-", 0) == 0) return true;
    }
    return false;
}

} // namespace

// A kill at every step of a replace that shares its folder with a file of the
// user's: after the next run, the set's folder holds the old set or the new
// one whole, the user's file, and nothing of ours besides.
TEST(CliCrash, AKilledReplaceLeavesTheOldOrTheNewSetWholeAtEveryStep) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    TempDir dir;
    writeFile(dir / "old/data.bin", seededBytes(20, 5000));
    writeFile(dir / "src/data.bin", seededBytes(21, 3500));
    for (const char* made : {"old", "src"})
        ASSERT_EQ(
            parcelor(dir, {"split", "-q", "-b", "1000", dir / (std::string(made) + "/data.bin")})
                .status,
            0);
    const auto oldSet = treeContents(dir / "old/data_spt");
    const auto newSet = treeContents(dir / "src/data_spt");
    const std::string set = dir / "out/data_spt";
    for (const char* call : {"renameat2", "unlinkat", "fsync", "write"}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            ASSERT_LT(n, 100);
            fs::remove_all(dir / "out");
            fs::create_directories(dir / "out");
            fs::copy(dir / "old/data_spt", set);
            writeFile(set + "/notes.txt", "mine");
            const Outcome r = traced(
                dir, std::string(call) + ":signal=KILL:when=" + std::to_string(n),
                {"split", "-q", "--replace", "-b", "1000", dir / "src/data.bin", dir / "out"});
            ASSERT_EQ(parcelor(dir, {"verify", "-q", set}).status, 0);
            auto now = treeContents(set);
            EXPECT_EQ(now["notes.txt"], "mine");
            now.erase("notes.txt");
            EXPECT_TRUE(now == oldSet || now == newSet);
            EXPECT_FALSE(holdsRunLeftovers(dir / "out"));
            if (r.status != 128 + SIGKILL) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(now, newSet);
                break;
            }
        }
    }
}

// A kill at every step of a join that replaces files in a tree and adds
// others: after the next run in that folder, the tree is the old one or the
// new one, whole, with the user's own file in it.
// A repair killed as it writes what it rebuilt: the set's real names hold
// the old files, and the next repair removes what the killed one left.
TEST(CliCrash, AKilledRepairLeavesNothingTheNextRepairDoesNotRemove) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(6, 40000));
    ASSERT_EQ(
        parcelor(dir, {"split", "-q", "-b", "10000", "--recovery=1", dir / "data.bin"}).status, 0);
    const std::string set = dir / "data_spt";
    std::string piece = readFile(set + "/data_2.spt");
    piece[100] ^= 1;
    writeFile(set + "/data_2.spt", piece);
    const Outcome killed = traced(dir, "fsync:signal=KILL:when=1", {"repair", set});
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    EXPECT_EQ(readFile(set + "/data_2.spt"), piece);
    const Outcome again = parcelor(dir, {"repair", set});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(holdsRunLeftovers(set));
    EXPECT_EQ(parcelor(dir, {"verify", "-q", set}).status, 0);
}

TEST(CliCrash, AKilledJoinIntoATreeLeavesTheOldOrTheNewTreeWhole) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    TempDir dir;
    writeFile(dir / "src/tree/a.txt", seededBytes(30, 3000));
    writeFile(dir / "src/tree/sub/b.txt", seededBytes(31, 3000));
    writeFile(dir / "src/tree/sub/c.txt", seededBytes(32, 100));
    // A private folder the old tree lacks, holding a file everyone could read
    // were its folder open; a link and a FIFO.
    writeFile(dir / "src/tree/private/secret.txt", "secret");
    fs::permissions(dir / "src/tree/private", fs::perms(0700));
    fs::create_symlink("a.txt", dir / "src/tree/link");
    ASSERT_EQ(mkfifo((dir / "src/tree/pipe").c_str(), 0640), 0);
    writeFile(dir / "other.bin", "x");
    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "2000", dir / "src/tree"}).status, 0);
    ASSERT_EQ(parcelor(dir, {"split", "-q", dir / "other.bin"}).status, 0);
    const std::map<std::string, std::string> oldTree = {
        {"a.txt", "old a"}, {"sub/b.txt", "old b"}, {"mine.txt", "mine"}};
    auto newTree = treeContents(dir / "src/tree");
    newTree["mine.txt"] = "mine";
    const auto modes = [](const std::string& root) {
        std::map<std::string, mode_t> seen;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            struct stat st {};
            lstat(entry.path().c_str(), &st);
            seen[fs::relative(entry.path(), root).string()] = st.st_mode & 07777;
        }
        return seen;
    };
    const auto setModes = modes(dir / "src/tree");
    const auto readable = [](mode_t mode) { return mode & 0555; };
    for (const char* call :
         {"mkdirat", "symlinkat", "mknodat", "fchmod", "fchmodat", "fchown", "utimensat", "fsync",
          "syncfs", "renameat", "renameat2", "linkat", "unlinkat"}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(call) + " #" + std::to_string(n));
            ASSERT_LT(n, 100);
            fs::remove_all(dir / "out");
            for (const auto& [name, bytes] : oldTree)
                writeFile(dir / ("out/tree/" + name), bytes);
            const auto before = modes(dir / "out/tree");
            const Outcome r =
                traced(dir, std::string(call) + ":signal=KILL:when=" + std::to_string(n),
                       {"join", "-q", "--replace", dir / "src/tree_spt", dir / "out"});
            // Nothing is more readable than it was, or than the set says.
            for (const auto& [path, mode] : modes(dir / "out/tree")) {
                const mode_t allowed = (before.count(path) ? readable(before.at(path)) : 0) |
                                       (setModes.count(path) ? readable(setModes.at(path)) : 0);
                EXPECT_EQ(readable(mode) & ~allowed, 0u) << path << " " << std::oct << mode;
            }
            // The next run in the output folder finishes what the killed one left.
            ASSERT_EQ(parcelor(dir, {"join", "-q", dir / "other_spt", dir / "out"}).status, 0);
            fs::remove(dir / "out/other.bin");
            const auto now = treeContents(dir / "out/tree");
            EXPECT_TRUE(now == oldTree || now == newTree);
            if (now == newTree) {
                EXPECT_EQ(modes(dir / "out/tree")["private"], 0700u);
                EXPECT_TRUE(fs::is_symlink(dir / "out/tree/link"));
                EXPECT_TRUE(fs::is_fifo(dir / "out/tree/pipe"));
            } else {
                EXPECT_EQ(modes(dir / "out/tree"), before);
            }
            EXPECT_FALSE(holdsRunLeftovers(dir / "out"));
            if (r.status != 128 + SIGKILL) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(now, newTree);
                break;
            }
        }
    }
}

// A killed split or join leaves its working folder; the next run that may
// remove it does (so they never pile up), says so once, and touches nothing
// else.
TEST(CliCrash, LeftoversOfKilledRunsAreRemovedByTheNextRun) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(22, 5000));
    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "1000", dir / "data.bin"}).status, 0);
    fs::create_directories(dir / "joined");
    writeFile(dir / "joined/.parcelor-tmp-000000000000", "not a folder of ours");
    writeFile(dir / "joined/.parcelor-tmp-mine/.parcelor-run", ""); // named unlike ours
    for (const char* verb : {"join", "join", "join", "split", "split", "split"}) {
        const std::vector<std::string> args =
            verb == std::string("join")
                ? std::vector<std::string>{verb, "-q", dir / "data_spt", dir / "joined"}
                : std::vector<std::string>{verb, "-q", "--replace", "-b", "1000", dir / "data.bin"};
        // Joins copy in the kernel; a replacing split writes each piece to
        // disk before the next.
        const char* kill = verb == std::string("join") ? "copy_file_range:signal=KILL:when=2"
                                                       : "fsync:signal=KILL:when=2";
        EXPECT_EQ(traced(dir, kill, args).status, 128 + SIGKILL);
    }
    for (const std::string& folder : {dir.path().string(), dir / "joined"}) {
        std::size_t left = 0;
        for (const auto& entry : fs::directory_iterator(folder))
            left += entry.is_directory() && entry.path().filename().string().size() == 26 ? 1 : 0;
        EXPECT_EQ(left, 1u) << folder;
    }
    auto r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("removed what 1 stopped run left"), std::string::npos) << r.err;
    r = parcelor(dir, {"join", dir / "data_spt", dir / "joined"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("removed what 1 stopped run left"), std::string::npos) << r.err;
    r = parcelor(dir, {"verify", dir / "data_spt"});
    EXPECT_EQ(r.err.find("stopped run"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir / "joined/data.bin"), seededBytes(22, 5000));
    EXPECT_EQ(readFile(dir / "joined/.parcelor-tmp-000000000000"), "not a folder of ours");
    EXPECT_TRUE(exists(dir / "joined/.parcelor-tmp-mine/.parcelor-run"));
    EXPECT_FALSE(holdsRunLeftovers(dir / "data_spt"));
}

// A stop at each phase of a split, a join and a removal is honoured there and
// reported as a stop (128+N): nothing half made, what was removed said.
TEST(CliCrash, AStopIsHonouredAtEveryPhase) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    TempDir dir;
    for (uint32_t i = 0; i < 50; ++i)
        writeFile(dir / ("tree/f" + std::to_string(i)), seededBytes(30 + i, 300));
    writeFile(dir / "data.bin", seededBytes(29, 5000));
    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "1000", dir / "data.bin"}).status, 0);
    const auto set = treeContents(dir / "data_spt");
    writeFile(dir / "data.bin", seededBytes(28, 5000));
    const std::vector<std::string> replace = {"split", "-q",   "--replace",
                                              "-b",    "1000", dir / "data.bin"};
    std::vector<std::string> withJson = replace;
    withJson.insert(withJson.begin() + 1, "--json");
    struct Phase {
        const char* what;
        const char* inject;
        int signal;
        std::vector<std::string> args;
    };
    const std::vector<Phase> phases = {
        {"split: copying", "fsync:signal=TERM:when=2", SIGTERM, withJson},
        // The fifth read of a thread: the hashing thread, on the second piece.
        {"split: hashing", "pread64:signal=INT:when=5", SIGINT, replace},
        {"split: writing the manifest", "pwrite64:signal=HUP:when=1", SIGHUP, replace},
        {"join: copying",
         "copy_file_range:signal=TERM:when=1",
         SIGTERM,
         {"join", "-q", dir / "data_spt", dir / "out"}},
    };
    fs::create_directories(dir / "out");
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.what);
        const Outcome r = traced(dir, phase.inject, phase.args);
        EXPECT_EQ(r.status, 128 + phase.signal) << r.err;
        EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
        if (phase.args == withJson) {
            EXPECT_NE(r.out.find("\"exit\":143,\"kind\":\"cancelled\",\"reason\":\"cancelled\""),
                      std::string::npos)
                << r.out;
        }
        EXPECT_TRUE(fs::is_empty(dir / "out"));
        EXPECT_EQ(treeContents(dir / "data_spt"), set);
        EXPECT_TRUE(fs::is_empty(dir / "out"));
    }

    // Removals stop between two files and say what went and what stayed.
    Outcome r = traced(dir, "unlinkat:signal=TERM:when=10",
                       {"split", "-q", "--remove-source", "-b", "4000", dir / "tree"});
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.err.find("The removal was stopped: "), std::string::npos) << r.err;
    const std::size_t left = entries(dir / "tree");
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 50u);
    EXPECT_EQ(parcelor(dir, {"verify", "-q", dir / "tree_spt"}).status, 0);

    r = traced(dir, "unlinkat:signal=TERM:when=4",
               {"join", "-q", "--remove-pieces", dir / "data_spt", dir / "out"});
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.err.find("The removal was stopped: "), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir / "out/data.bin"), seededBytes(29, 5000));
    EXPECT_TRUE(exists(dir / "data_spt"));
}

TEST(Cli, RecoveryPiecesAreAskedForCheckedAndRepaired) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(5, 40000));
    for (const char* bad : {"0", "255", "101%", "x", "%"}) {
        const Outcome r = parcelor(dir, {"split", "--recovery", bad, dir / "data.bin"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("invalid recovery pieces"), std::string::npos) << r.err;
    }
    EXPECT_EQ(parcelor(dir, {"split", "--recovery=1", "--no-checksums", dir / "data.bin"}).status,
              2);
    EXPECT_EQ(parcelor(dir, {"repair", "--recovery=1", dir / "data.bin"}).status, 2);

    Outcome r = parcelor(dir, {"split", "-b", "10000", "--recovery=50%", dir / "data.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("wrote 2 recovery pieces: the set can lose any 2 of its 6 pieces"),
              std::string::npos)
        << r.err;
    const std::string set = dir / "data_spt";
    r = parcelor(dir, {"verify", set});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("recovery: nothing missing or damaged; 2 recovery pieces\n"),
              std::string::npos);
    r = parcelor(dir, {"verify", "--json", set});
    EXPECT_EQ(r.status, 0) << r.err;
    // Only JSON lines, and the first progress event already knows the total.
    std::istringstream lines(r.out);
    bool sawProgress = false;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(isJsonObjectLine(line)) << line;
        if (line.find("\"event\":\"progress\"") == std::string::npos || sawProgress) continue;
        sawProgress = true;
        EXPECT_EQ(line.find("\"total\":0,"), std::string::npos) << line;
    }
    EXPECT_TRUE(sawProgress) << r.out;
    EXPECT_NE(r.out.find("\"pieces\":4,\"bad\":0"), std::string::npos) << r.out;

    const std::string original = readFile(set + "/data_1.spt");
    fs::remove(set + "/data_1.spt");
    fs::remove(set + "/spt_config.morvspt");
    r = parcelor(dir, {"verify", "--json", set});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"recovery\":\"repairable\""), std::string::npos) << r.out;

    fs::create_directories(dir / "elsewhere");
    r = parcelor(dir, {"repair", "-q", "--output", dir / "elsewhere", set});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries(dir / "elsewhere"), 2u);
    EXPECT_FALSE(fs::exists(set + "/data_1.spt"));
    r = parcelor(dir, {"repair", set});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(set + "/data_1.spt"), original);
    EXPECT_EQ(parcelor(dir, {"verify", "-q", set}).status, 0);

    // A damaged copy of the header is a fault of the set that the repair mends.
    writeFile(set + "/data_R1.rec.hdr", "damaged");
    r = parcelor(dir, {"verify", set});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("1 recovery header damaged or missing"), std::string::npos) << r.out;
    ASSERT_EQ(parcelor(dir, {"repair", "-q", set}).status, 0);
    EXPECT_EQ(parcelor(dir, {"verify", "-q", set}).status, 0);

    for (int i = 0; i < 3; ++i)
        fs::remove(set + "/data_" + std::to_string(i) + ".spt");
    r = parcelor(dir, {"repair", set});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("3 pieces missing (3 bad stripes); 2 recovery pieces: not repairable"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(set + "/data_0.spt"));

    // Removing the pieces after a join takes the recovery files with them.
    fs::create_directories(dir / "again");
    ASSERT_EQ(parcelor(dir, {"split", "-q", "-b", "10000", "--recovery=1", dir / "data.bin",
                             dir / "again"})
                  .status,
              0);
    fs::create_directories(dir / "joined");
    r = parcelor(dir, {"join", "-q", "--remove-pieces", dir / "again/data_spt", dir / "joined"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir / "again/data_spt"));

    writeFile(dir / "plain.bin", "no recovery");
    ASSERT_EQ(parcelor(dir, {"split", "-q", dir / "plain.bin"}).status, 0);
    r = parcelor(dir, {"repair", dir / "plain_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has no recovery pieces"), std::string::npos) << r.err;
}

TEST(Cli, ListAgreesWithTheWindowAndARepairKeepsThePiecesPermissions) {
    TempDir dir;
    writeFile(dir / "data.bin", seededBytes(7, 4 * 1100000));
    ASSERT_EQ(
        parcelor(dir, {"split", "-q", "-b", "1100000", "--recovery=2", dir / "data.bin"}).status,
        0);
    const std::string set = dir / "data_spt";
    std::string damaged = readFile(set + "/data_2.spt");
    damaged[600000] ^= 0x10; // past the quick check's first kilobyte
    writeFile(set + "/data_2.spt", damaged);
    fs::remove(set + "/data_1.spt");
    // As the window lists it: the missing piece without a size, the damaged one as damaged.
    Outcome r = parcelor(dir, {"list", set});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("data_1.spt  -  missing\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data_2.spt  1100000  damaged\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recovery:   1 piece missing, 1 piece damaged (3 bad stripes)"),
              std::string::npos)
        << r.out;

    // The rebuilt pieces are as readable as their neighbours, and no more.
    for (const auto& entry : fs::directory_iterator(set))
        fs::permissions(entry.path(), fs::perms(0644));
    fs::permissions(set + "/data_3.spt", fs::perms(0640));
    r = parcelor(dir, {"repair", set});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* rebuilt : {"data_1.spt", "data_2.spt"}) {
        struct stat st {};
        ASSERT_EQ(stat((set + "/" + rebuilt).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << rebuilt;
    }
    EXPECT_EQ(parcelor(dir, {"verify", "-q", set}).status, 0);
}

TEST(Cli, AnEncryptedSetIsMadeListedCheckedAndJoinedWithItsPassword) {
    TempDir dir;
    writeFile(dir / "report.pdf", seededBytes(6, 150000));
    writeFile(dir / "pw", "one two three\n");
    writeFile(dir / "empty-pw", "\n");
    writeFile(dir / "wrong-pw", "one two four\n");
    Outcome r = parcelor(
        dir, {"split", "--encrypt", "--password-file", dir / "empty-pw", dir / "report.pdf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("needs a password that is not empty"), std::string::npos) << r.err;
    EXPECT_EQ(parcelor(dir, {"split", "--name", "a/b", dir / "report.pdf"}).status, 2);
    r = parcelor(dir, {"split", "--password-file", dir / "pw", "-b", "50000", dir / "report.pdf"});
    EXPECT_NE(r.err.find("the pieces are not encrypted"), std::string::npos) << r.err;

    fs::create_directories(dir / "enc");
    r = parcelor(dir, {"split", "-q", "--encrypt", "--password-file", dir / "pw", "--name", "q3",
                       "-b", "50000", dir / "report.pdf", dir / "enc"});
    ASSERT_EQ(r.status, 0) << r.err;
    // What the README says SHA256SUMS lists for it, in its order, and no CONTENTS.sha256.
    EXPECT_FALSE(fs::exists(dir / "enc/q3_spt/CONTENTS.sha256"));
    {
        std::istringstream sums(readFile(dir / "enc/q3_spt/SHA256SUMS"));
        std::vector<std::string> names;
        for (std::string line; std::getline(sums, line);)
            names.push_back(line.substr(66));
        EXPECT_EQ(names, (std::vector<std::string>{"q3_0.spt", "q3_1.spt", "q3_2.spt", "q3_3.spt",
                                                   "spt_config.morvspt", "ENCRYPTED"}));
    }
    // By count: the count holds for the encrypted stream, longer than the source.
    r = parcelor(dir, {"split", "-q", "--encrypt", "--password-file", dir / "pw", "--name", "by3",
                       "-n", "3", dir / "report.pdf", dir / "enc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "enc/by3_spt/by3_2.spt"));
    EXPECT_FALSE(fs::exists(dir / "enc/by3_spt/by3_3.spt"));
    r = parcelor(dir, {"list", dir / "enc/q3_spt"});
    EXPECT_NE(r.out.find("mode:       encrypted (age)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("report"), std::string::npos);
    r = parcelor(dir,
                 {"verify", "--decrypt", "--password-file", dir / "wrong-pw", dir / "enc/q3_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("wrong password"), std::string::npos) << r.err;
    fs::create_directories(dir / "out");
    r = parcelor(dir, {"join", "-q", dir / "enc/q3_spt", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the set is encrypted"), std::string::npos) << r.err;
    // The password handed down through a pipe's descriptor, as a caller may give it.
    r = captured(dir, "printf 'one two three\\n' | " PARCELOR_CLI " join --password-fd 3 " +
                          quote(dir / "enc/q3_spt") + " " + quote(dir / "out") + " 3<&0");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("the set was encrypted: its password opened it"), std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(dir / "out/report.pdf"),
              readFile(dir / "report.pdf")); // its own name, from inside

    // A file named as one of a set's own files, joined into its set's folder: never written over
    // it.
    fs::create_directories(dir / "own");
    writeFile(dir / "own/SHA256SUMS", "not the set's");
    ASSERT_EQ(parcelor(dir, {"split", "-q", "--encrypt", "--password-file", dir / "pw",
                             dir / "own/SHA256SUMS"})
                  .status,
              0);
    const std::string sums = readFile(dir / "own/SHA256SUMS_spt/SHA256SUMS");
    r = parcelor(dir, {"join", "-q", "--replace", "--password-file", dir / "pw",
                       dir / "own/SHA256SUMS_spt", dir / "own/SHA256SUMS_spt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("would write over the set's own SHA256SUMS"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir / "own/SHA256SUMS_spt/SHA256SUMS"), sums);

    // A folder encrypted with --remove-source goes once the set checks whole.
    writeFile(dir / "album/sub/photo.raw", seededBytes(7, 3000));
    ASSERT_EQ(parcelor(dir, {"split", "-q", "--encrypt", "--remove-source", "--password-file",
                             dir / "pw", dir / "album", dir / "enc"})
                  .status,
              0);
    EXPECT_FALSE(fs::exists(dir / "album"));
    ASSERT_EQ(parcelor(dir, {"join", "-q", "--password-file", dir / "pw", dir / "enc/album_spt",
                             dir / "out"})
                  .status,
              0);
    EXPECT_EQ(readFile(dir / "out/album/sub/photo.raw"), seededBytes(7, 3000));

    // An age file split as an ordinary file is joined back as that file.
    fs::create_directories(dir / "plain");
    writeFile(dir / "plain/stream.age", readFile(dir / "enc/q3_spt/q3_0.spt"));
    ASSERT_EQ(parcelor(dir, {"split", "-q", dir / "plain/stream.age"}).status, 0);
    fs::remove(dir / "plain/stream.age");
    r = parcelor(dir, {"join", "-q", dir / "plain/stream_spt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "plain/stream.age"), readFile(dir / "enc/q3_spt/q3_0.spt"));
}

TEST(Cli, StandardInputIsSplitAndASetIsJoinedToStandardOutput) {
    TempDir dir;
    const std::string data = seededBytes(21, 250000);
    writeFile(dir / "data.bin", data);
    fs::create_directories(dir / "sets");
    const std::string cli = PARCELOR_CLI;
    auto r =
        captured(dir, "{ cat " + quote(dir / "data.bin") + " | " + cli +
                          " split -q -b 100000 --name piped.bin - " + quote(dir / "sets") + "; }");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries(dir / "sets"), 1u); // the set, and nothing of the run beside it
    EXPECT_TRUE(fs::exists(dir / "sets/piped_spt/piped_2.spt"));
    EXPECT_FALSE(fs::exists(dir / "sets/piped_spt/piped_3.spt"));
    r = parcelor(dir, {"verify", dir / "sets/piped_spt"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = parcelor(dir, {"join", "-q", dir / "sets/piped_spt", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == data) << r.out.size();
    r = captured(dir, "{ cat /dev/null | " + cli + " split -q -b 1000 --name nothing - " +
                          quote(dir / "sets") + "; }");
    ASSERT_EQ(r.status, 0) << r.err;
    r = parcelor(dir, {"join", "-q", dir / "sets/nothing_spt", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // A damaged second piece: what went out is the set's true beginning, and the run fails.
    std::string piece = readFile(dir / "sets/piped_spt/piped_1.spt");
    piece[5000] ^= 1;
    writeFile(dir / "sets/piped_spt/piped_1.spt", piece);
    r = parcelor(dir, {"join", "-q", dir / "sets/piped_spt", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("piped_1.spt does not match its checksum"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out == data.substr(0, 100000)) << r.out.size();

    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"split", "--name", "x", "-"},
          {"split", "-n", "3", "--name", "x", "-"},
          {"split", "-b", "1000", "-"},
          {"split", "-b", "1000", "--name", "x", "--remove-source", "-"},
          {"join", "--json", dir / "sets/piped_spt", "-"}}) {
        r = parcelor(dir, refused);
        EXPECT_EQ(r.status, 2) << refused[1] << r.err;
    }
    // A stop while the input is silent: heard at once (a watchdog kills a run that does not hear
    // it).
    fs::create_directories(dir / "silent");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    r = captured(
        dir,
        "{ exec 3<>" + quote(dir / "fifo") + "; " + cli + " split -q -b 1000 --name s - " +
            quote(dir / "silent") +
            " <&3 & p=$!; sleep 0.3; kill -TERM $p; "
            "(sleep 10; kill -KILL $p) 2>/dev/null & w=$!; wait $p; s=$?; kill $w; exit $s; }");
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_TRUE(fs::is_empty(dir / "silent"));
    // And while the output is full, its reader not reading.
    r = captured(
        dir,
        "{ exec 3<>" + quote(dir / "fifo") + "; " + cli + " join -q " +
            quote(dir / "sets/piped_spt") +
            " - >&3 & p=$!; sleep 0.3; kill -TERM $p; "
            "(sleep 10; kill -KILL $p) 2>/dev/null & w=$!; wait $p; s=$?; kill $w; exit $s; }");
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    // An output that is a piece of the set itself is refused before it is written.
    const std::string last = readFile(dir / "sets/piped_spt/piped_2.spt");
    r = captured(dir, "{ " + cli + " join -q " + quote(dir / "sets/piped_spt") + " - >> " +
                          quote(dir / "sets/piped_spt/piped_2.spt") + "; }");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a file of the set itself"), std::string::npos) << r.err;
    EXPECT_TRUE(readFile(dir / "sets/piped_spt/piped_2.spt") == last);

    makeSeededTree(dir / "tree", 1, 2, 1000);
    ASSERT_EQ(parcelor(dir, {"split", "-q", dir / "tree", dir / "sets"}).status, 0);
    r = parcelor(dir, {"join", dir / "sets/tree_spt", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("join it into a folder"), std::string::npos) << r.err;
}

// Parts made by coreutils' split, in each of its namings, are joined back
// byte for byte: its widening of the default suffixes too (700 one-byte
// parts run past "xyz"; 100 numbered ones past "x89").
TEST(CliParts, PartsMadeBySplitAreJoinedInNumberOrder) {
    TempDir dir;
    const std::string data = seededBytes(31, 5000);
    writeFile(dir / "movie.mkv", data);
    const struct {
        const char* split;             // options; the source; the prefix
        std::size_t bytes;             // of the source
        const char* first;             // the first part
        const char* joinedName;        // what the join writes
        std::vector<std::string> name; // --name, when the prefix names nothing
    } table[] = {
        {"-b 1000 {} movie.mkv.", 5000, "movie.mkv.aa", "movie.mkv", {}},
        {"-d -a 3 --numeric-suffixes=1 -b 1000 {} movie.mkv.",
         5000,
         "movie.mkv.001",
         "movie.mkv",
         {}},
        {"-d -b 1000 {} backup.tar.", 5000, "backup.tar.00", "backup.tar", {}},
        {"-b 1 {}", 700, "xaa", "film", {"--name", "film"}},
        {"-d -b 1 {}", 100, "x00", "film", {"--name", "film"}},
        {"-a 3 -b 400 {}", 5000, "xaaa", "film", {"--name", "film"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.split);
        const std::string parts = dir / "parts";
        fs::remove_all(parts);
        fs::create_directories(parts);
        const std::string source = data.substr(0, row.bytes);
        writeFile(dir / "source", source);
        std::string split = row.split;
        split.replace(split.find("{}"), 2, quote(dir / "source"));
        ASSERT_EQ(captured(dir, "cd " + quote(parts) + " && split " + split).status, 0);
        std::vector<std::string> args{"join", parts + "/" + row.first};
        args.insert(args.end(), row.name.begin(), row.name.end());
        const Outcome r = parcelor(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readFile(parts + "/" + row.joinedName) == source);
        EXPECT_NE(r.err.find("a missing last part cannot be detected"), std::string::npos) << r.err;
    }
    // A bare prefix names nothing; a folder operand stays a piece set.
    Outcome r = parcelor(dir, {"join", dir / "parts/xaaa"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("give it one with --name"), std::string::npos) << r.err;
    r = parcelor(dir, {"join", dir / "parts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the set"), std::string::npos) << r.err;
}

// A checksum file beside the parts checks every one: damage, a gap and a
// missing last part are refused by name with nothing under the real name;
// an existing result is replaced only when asked, keeping its permissions.
TEST(CliParts, ChecksumFilesGapsLinksAndAnExistingResult) {
    TempDir dir;
    const std::string data = seededBytes(32, 4000);
    const std::string parts = dir / "dl";
    fs::create_directories(parts);
    writeFile(parts + "/movie.mkv", data);
    const auto sh = [&](const std::string& line) {
        return captured(dir, "cd " + quote(parts) + " && { " + line + "; }").status;
    };
    ASSERT_EQ(sh("split -b 1000 movie.mkv movie.mkv. && rm movie.mkv"), 0);
    const std::string first = parts + "/movie.mkv.aa";
    const auto join = [&](std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"join", first});
        return parcelor(dir, extra);
    };
    const auto refusedNaming = [&](const std::string& text) {
        const Outcome r = join();
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(parts + "/movie.mkv"));
        for (const auto& entry : fs::directory_iterator(parts))
            EXPECT_EQ(entry.path().filename().string().rfind(".parcelor-tmp-", 0),
                      std::string::npos);
    };
    // sha256sum's lines, one with the binary marker; then an SFV file.
    for (const std::string& sums :
         {std::string(
              "sha256sum movie.mkv.a[a-c] > movie.mkv.sha256 && sha256sum -b movie.mkv.ad >> "
              "movie.mkv.sha256"),
          std::string(
              "rm movie.mkv.sha256 && { echo '; made by hand'; for p in movie.mkv.a?; do "
              "printf '%s %s\\n' $p $(gzip -c $p | tail -c8 | od -An -tx4 -N4 | tr -d ' '); "
              "done; } > movie.mkv.sfv")}) {
        ASSERT_EQ(sh(sums), 0);
        const Outcome r = join();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readFile(parts + "/movie.mkv") == data);
        EXPECT_NE(r.err.find("every part matched its checksum"), std::string::npos) << r.err;
        fs::remove(parts + "/movie.mkv");
    }
    // A byte changed in the second part, then the part put back.
    const std::string second = readFile(parts + "/movie.mkv.ab");
    std::string damaged = second;
    damaged[700] ^= 1;
    writeFile(parts + "/movie.mkv.ab", damaged);
    refusedNaming("part " + parts + "/movie.mkv.ab does not match its CRC32 in movie.mkv.sfv");
    writeFile(parts + "/movie.mkv.ab", second);
    // The last part gone: only the checksum file knows of it.
    fs::rename(parts + "/movie.mkv.ad", dir / "ad");
    refusedNaming("part " + parts + "/movie.mkv.ad is missing");
    fs::rename(dir / "ad", parts + "/movie.mkv.ad");
    // A gap, without any checksum file.
    fs::remove(parts + "/movie.mkv.sfv");
    fs::rename(parts + "/movie.mkv.ab", dir / "ab");
    refusedNaming("part " + parts + "/movie.mkv.ab is missing");
    // A part that is a link to one.
    fs::create_symlink(dir / "ab", parts + "/movie.mkv.ab");
    refusedNaming("part " + parts + "/movie.mkv.ab is a symbolic link");
    fs::remove(parts + "/movie.mkv.ab");
    fs::rename(dir / "ab", parts + "/movie.mkv.ab");

    writeFile(parts + "/movie.mkv", "older");
    fs::permissions(parts + "/movie.mkv", fs::perms(0640));
    Outcome r = join();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already exists; use --replace"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(parts + "/movie.mkv"), "older");
    r = join({"--replace"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(parts + "/movie.mkv") == data);
    EXPECT_EQ(fs::status(parts + "/movie.mkv").permissions(), fs::perms(0640));
}

// On a file system that shares blocks (XFS in a loop image), a split of a
// file whose set is larger than the free space fits when its pieces are
// whole blocks, and says what it needs; a typed size that is not whole
// blocks is kept, copied, and refused for want of space, saying why; a count
// gets a size of whole blocks.
TEST(Cli, ASplitThatSharesTheSourcesBlocksNeedsOnlyWhatItWrites) {
    LoopImage image("xfs", int64_t{320} << 20);
    if (!image.ready()) GTEST_SKIP() << image.problem();
    const int64_t size = image.freeBytes() * 6 / 10 / 4096 * 4096 + 1234;
    {
        std::ofstream out(image / "data.bin", std::ios::binary);
        const std::string chunk = seededBytes(41, std::size_t{1} << 20);
        for (int64_t left = size; left > 0; left -= int64_t(chunk.size()))
            out.write(chunk.data(), std::min<int64_t>(left, int64_t(chunk.size())));
    }
    ASSERT_GT(size, image.freeBytes());
    TempDir dir;
    auto r = parcelor(dir, {"split", "-b", "4M", image / "data.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("shares the source's blocks: needs "), std::string::npos) << r.err;
    r = parcelor(dir, {"split", "--json", "--replace", "-b", "4M", image / "data.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"shared\":" + std::to_string(size - 1234) + ",\"written\":1234}"),
              std::string::npos)
        << r.out;

    r = parcelor(dir, {"split", "--replace", "-b", "4000000", image / "data.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("free. Pieces of 3.81 MB (4,000,000 bytes) are not whole 4.00 KB "
                         "blocks of this file system: they will be copied. Use --force"),
              std::string::npos)
        << r.err;

    r = parcelor(dir, {"split", "--json", "--replace", "--count=7", image / "data.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    const int64_t piece = int64_t(fs::file_size(image / "data_spt/data_0.spt"));
    EXPECT_EQ(piece % 4096, 0);
    EXPECT_TRUE(fs::exists(image / "data_spt/data_6.spt"));
    EXPECT_FALSE(fs::exists(image / "data_spt/data_7.spt"));
    EXPECT_NE(r.out.find("\"shared\":" + std::to_string(size - 1234) + ","), std::string::npos)
        << r.out;
}

TEST(CliParts, ADownloadsWholeFileChecksumBesideThePartsChecksTheResult) {
    TempDir dir;
    const std::string data = seededBytes(33, 3000);
    const std::string parts = dir / "dl";
    writeFile(parts + "/big.iso", data);
    ASSERT_EQ(captured(dir, "cd " + quote(parts) +
                                " && split -b 1000 -d big.iso big.iso. && sha256sum big.iso > "
                                "big.iso.sha256 && md5sum big.iso > MD5SUMS && rm big.iso")
                  .status,
              0);
    Outcome r = parcelor(dir, {"join", parts + "/big.iso.00"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(parts + "/big.iso") == data);
    EXPECT_NE(r.err.find("the joined file matched its checksum in big.iso.sha256"),
              std::string::npos)
        << r.err;
    fs::remove(parts + "/big.iso");
    // MD5SUMS when there is no NAME.sha256; a wrong sum writes nothing.
    fs::remove(parts + "/big.iso.sha256");
    std::string md5 = readFile(parts + "/MD5SUMS");
    md5[0] = md5[0] == '0' ? '1' : '0';
    writeFile(parts + "/MD5SUMS", md5);
    r = parcelor(dir, {"join", "--json", parts + "/big.iso.00"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("does not match its MD5 in " + parts + "/MD5SUMS"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(parts + "/big.iso"));
}

// The README's recipe for recipients without this program, as it stands
// there, on a set of 12 pieces whose name holds a space: the shell's order
// of a glob would put piece 10 before piece 2.
TEST(Cli, TheReadmesAgeRecipeOpensAnEncryptedSetInPieceOrder) {
    TempDir dir;
    const std::string readme = readFile(std::string(PARCELOR_SOURCE_DIR) + "/README.md");
    const std::size_t from = readme.find("\nset=photos;");
    ASSERT_NE(from, std::string::npos);
    const std::size_t to = readme.find("| age -d | tar x\n", from);
    ASSERT_NE(to, std::string::npos);
    std::string recipe = readme.substr(from + 1, to + 16 - from - 1);
    recipe.replace(0, std::string("set=photos").size(), "set='my photos'");
    recipe.replace(recipe.find("age -d"), 6,
                   std::string("python3 ") + PARCELOR_SOURCE_DIR +
                       "/tests/support/age_with_passphrase.py 'a pass phrase' -d");

    writeFile(dir / "my photos/a.jpg", seededBytes(40, 30000));
    writeFile(dir / "my photos/b.jpg", seededBytes(41, 20000));
    writeFile(dir / "pw", "a pass phrase\n");
    fs::create_directories(dir / "sets");
    ASSERT_EQ(parcelor(dir, {"split", "-q", "--encrypt", "--password-file", dir / "pw", "-n", "12",
                             dir / "my photos", dir / "sets"})
                  .status,
              0);
    ASSERT_TRUE(exists(dir / "sets/my photos_spt/my photos_11.spt"));
    fs::create_directories(dir / "out");
    const Outcome r = captured(dir, "cd " + quote(dir / "sets") + " && { " + recipe +
                                        "; } && mv 'my photos' ../out/");
    ASSERT_EQ(r.status, 0) << recipe << "\n" << r.err;
    EXPECT_EQ(treeContents(dir / "out/my photos"), treeContents(dir / "my photos"));
}
