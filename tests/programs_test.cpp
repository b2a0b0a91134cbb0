// What the shipped programs share: they load no C++ runtime (formsend needs
// libc alone, bfseal and bfopen libcrypto and libc), the sealing programs
// answer wrong arguments with their usage line and read a key from a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "program.h"

namespace {

std::string neededLibraries(const char *path)
{
    ProgramRun run = runProgram({{"readelf", "-d", path}, "", nullptr});
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string libraries;
    for (std::string line; std::getline(lines, line);) {
        size_t open = line.find("(NEEDED)") != std::string::npos ? line.find('[') : std::string::npos;
        if (open != std::string::npos)
            libraries += line.substr(open + 1, line.find(']') - open - 1) + " ";
    }
    return libraries;
}

// With the stack protector on, a 32-bit ARM program reads its canary from
// the dynamic loader, which comes with libc (package libc6) like libc itself.
#ifdef __arm__
const std::string kLoader = "ld-linux-armhf.so.3 ";
#else
const std::string kLoader = "";
#endif

TEST(Linkage, ProgramsNeedOnlyTheirLibraries)
{
#ifdef SANITIZED
    GTEST_SKIP() << "a sanitized build links the sanitizer runtimes on purpose";
#endif
    const struct {
        const char *path, *needed;
    } cases[] = {
        {BFSEAL_PATH, "libcrypto.so.3 libc.so.6 "},
        {FORMSEND_PATH, "libc.so.6 "},
        {BFOPEN_PATH, "libcrypto.so.3 libc.so.6 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(neededLibraries(c.path), c.needed + kLoader);
    }
}

TEST(Usage, WrongArgumentsPrintTheUsageLine)
{
    const std::string bfopenUsage = "bfopen [-b] <hex|-> <key>\nbfopen [-b] -k <file> <hex|->\n";
    const struct {
        const char *path;
        std::string usage;
        std::vector<std::string> args;
    } cases[] = {
        {BFSEAL_PATH, "bfseal <data> <key>\n", {}},
        {BFSEAL_PATH, "bfseal <data> <key>\n", {"one"}},
        {BFSEAL_PATH, "bfseal <data> <key>\n", {"one", "two", "three"}},
        {BFSEAL_PATH, "bfseal <data> <key>\n", {"-k"}},
        {BFSEAL_PATH, "bfseal <data> <key>\n", {"-k", "file", "data", "four"}},
        {BFOPEN_PATH, bfopenUsage, {}},
        {BFOPEN_PATH, bfopenUsage, {"one"}},
        {BFOPEN_PATH, bfopenUsage, {"one", "two", "three"}},
        {BFOPEN_PATH, bfopenUsage, {"-b", "hex-without-key"}},
        {BFOPEN_PATH, bfopenUsage, {"-k", "file"}},
        {BFOPEN_PATH, bfopenUsage, {"-k", "file", "hex", "key"}},
        {BFOPEN_PATH, bfopenUsage, {"-k", "file", "-k", "file", "hex"}},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &arg : c.args)
            line += " " + arg;
        SCOPED_TRACE(c.path + line);
        ProgramRun run = runProgram({ownProgram(c.path, c.args), "", nullptr});
        EXPECT_EQ(run.out, c.usage);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

// A file of its own in /tmp, removed at the end of the test.
struct KeyPath {
    std::string path = "/tmp/key_XXXXXX";
    explicit KeyPath(const std::string &contents)
    {
        int fd = mkstemp(path.data());
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
        close(fd);
    }
    ~KeyPath() { unlink(path.c_str()); }
};

// -k FILE: the key is the file's bytes less one trailing line break, for
// sealing and for opening alike, and the key given as an argument opens what
// the file sealed. A file that holds no key is refused by name before
// anything is written.
TEST(KeyFile, BothProgramsReadTheKeyFromIt)
{
    const std::string text = "Attack at dawn";
    const std::string longest(4096, 'k');
    const struct {
        std::string contents, key, fault; // key when it opens, otherwise what is wrong with the file
        size_t firstWrite = 0; // otherwise a FIFO brings this many bytes, the rest once they are read
    } cases[] = {
        {"sesame", "sesame", ""},
        {"sesame\n", "sesame", ""},
        {"sesame\r\n", "sesame", ""},
        {"sesame\n\n", "sesame\n", ""},
        {"sesame\r", "sesame\r", ""},
        {"two\nlines", "two\nlines", ""},
        {"sesame\n", "sesame", "", 3},
        {"k\xe9y \xff", "k\xe9y \xff", ""},
        {longest + "\r\n", longest, ""},
        {"", "", "is empty"},
        {"\n", "", "is empty"},
        {"\r\n", "", "is empty"},
        {std::string("ab\0c", 4), "", "holds a zero byte (byte 3), which no key text can hold"},
        {longest + "k", "", "is longer than a key: more than 4096 bytes"},
        {longest + "kk\n", "", "is longer than a key: more than 4096 bytes"},
        {longest + "\r\nk", "", "is longer than a key: more than 4096 bytes"}, // a byte past a key that just fits
    };
    const std::string sealedBySesame = runProgram({ownProgram(BFSEAL_PATH, {text, "sesame"}), "", nullptr}).out;
    for (const auto &c : cases) {
        KeyPath file(c.contents);
        SCOPED_TRACE(c.contents.substr(0, 16) + (c.firstWrite != 0 ? " through a FIFO" : ""));
        std::function<void(pid_t)> writeKey = nullptr;
        if (c.firstWrite != 0) {
            unlink(file.path.c_str());
            ASSERT_EQ(mkfifo(file.path.c_str(), 0600), 0) << strerror(errno);
            writeKey = [&](pid_t) {
                // A read end of its own tells when the program took the first bytes, and spares this
                // test SIGPIPE from a program that stopped reading there.
                int in = open(file.path.c_str(), O_RDONLY | O_NONBLOCK), out = open(file.path.c_str(), O_WRONLY);
                int unread = static_cast<int>(write(out, c.contents.data(), c.firstWrite));
                for (int i = 0; i < 5000 && unread > 0 && ioctl(in, FIONREAD, &unread) == 0; ++i)
                    usleep(1000);
                EXPECT_EQ(unread, 0);
                EXPECT_GT(write(out, c.contents.data() + c.firstWrite, c.contents.size() - c.firstWrite), 0);
                close(out);
                close(in);
            };
        }
        ProgramRun sealed =
            runProgram({ownProgram(BFSEAL_PATH, {"-k", file.path, text}), "", nullptr, nullptr, writeKey});
        ProgramRun opened = runProgram(
            {ownProgram(BFOPEN_PATH, {"-k", file.path, sealedBySesame}), "", nullptr, nullptr, writeKey});
        if (!c.fault.empty()) {
            EXPECT_EQ(sealed.err, "bfseal: key file " + file.path + " " + c.fault + "\n");
            EXPECT_EQ(opened.err, "bfopen: key file " + file.path + " " + c.fault + "\n");
            for (const ProgramRun &run : {sealed, opened})
                EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(1, std::string()));
            continue;
        }
        EXPECT_EQ(std::make_pair(sealed.status, sealed.err), std::make_pair(0, std::string()));
        ProgramRun byArgument = runProgram({ownProgram(BFOPEN_PATH, {"-b", sealed.out, c.key}), "", nullptr});
        EXPECT_EQ(byArgument.out, text);
        ProgramRun fromStdin =
            runProgram({ownProgram(BFOPEN_PATH, {"-b", "-k", file.path, "-"}), sealed.out, nullptr, nullptr, writeKey});
        EXPECT_EQ(fromStdin.out, text);
        EXPECT_EQ(opened.status == 0, c.key == "sesame") << opened.err;
    }
    // Two arguments keep their meaning, whatever they hold: "-k" is the data.
    ProgramRun dataDashK = runProgram({ownProgram(BFSEAL_PATH, {"-k", "sesame"}), "", nullptr});
    EXPECT_EQ(runProgram({ownProgram(BFOPEN_PATH, {dataDashK.out, "sesame"}), "", nullptr}).out, "-k");
    for (const char *path : {"/no/such/key", "/"}) {
        ProgramRun run = runProgram({ownProgram(BFSEAL_PATH, {"-k", path, text}), "", nullptr});
        EXPECT_EQ(run.err, "bfseal: cannot read key file " + std::string(path) + ": " +
                               (path[1] == 'n' ? "No such file or directory" : "Is a directory") + "\n");
        EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(1, std::string()));
    }
}

// A process that has ended meanwhile holds no key: its command line reads
// as empty, whether it is gone before the file opens or while it is read.
std::string commandLine(const std::string &process)
{
    std::string line;
    int fd = open(("/proc/" + process + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return line;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        line.append(buffer, static_cast<size_t>(got));
    close(fd);
    return got < 0 ? std::string() : line;
}

// Every process's command line, as ps shows it to every user.
std::string allCommandLines()
{
    std::string all;
    for (const auto &entry : std::filesystem::directory_iterator("/proc"))
        all += commandLine(entry.path().filename()) + "\n";
    return all;
}

// bfseal waits on a key file that is a FIFO, so that the key can be looked
// for while it runs; it arrives only afterwards.
TEST(KeyFile, NoCommandLineHoldsTheKey)
{
    const std::string key = "a key no command line may show";
    std::string fifo = "/tmp/key_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    ProgramRun sealed = runProgram({ownProgram(BFSEAL_PATH, {"-k", fifo, "Attack at dawn"}), "", nullptr, nullptr,
                                    [&](pid_t pid) {
                                        // A new program's command line shows a moment after it starts.
                                        std::string own;
                                        for (int i = 0; i < 1000 && own.find(fifo) == std::string::npos; ++i) {
                                            usleep(1000);
                                            own = commandLine(std::to_string(pid));
                                        }
                                        EXPECT_NE(own.find(fifo), std::string::npos);
                                        EXPECT_EQ(allCommandLines().find(key), std::string::npos);
                                        std::ofstream(fifo) << key;
                                    }});
    unlink(fifo.c_str());
    EXPECT_EQ(sealed.status, 0) << sealed.err;
    // Opened with the key from a file too: another run of this test may be
    // looking at every command line.
    KeyPath file(key);
    EXPECT_EQ(runProgram({ownProgram(BFOPEN_PATH, {"-k", file.path, sealed.out}), "", nullptr}).out,
              "Attack at dawn");
}

} // namespace
