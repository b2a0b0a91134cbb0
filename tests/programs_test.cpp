// What the shipped programs share: they load no C++ runtime (formsend needs
// libc alone, bfseal, bfopen and bfmac libcrypto and libc), the sealing
// programs answer wrong arguments with their usage line and read a key from
// a file, and bfmac's MAC is HMAC-SHA256 as openssl computes it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "hex.h"
#include "program.h"

namespace {

// The known answer of docs/server.md, computed with Python's hmac: the key
// text "sesame", the device pump-7, and what bfseal sealed in the README.
const std::string kVectorHex = "3734353231333638c70c840ac1c1e31145008c4a273f55aa";
const std::string kVectorMac = "70aa729e7ef0f5d526e0b7233629cc1ef0495220d30e6762d50a75625c7d9221";

// HMAC-SHA256 by openssl, apart from bfmac's own, in lowercase hex.
std::string hmacSha256(const std::string &key, const std::string &message)
{
    ProgramRun run = runProgram(
        {{OPENSSL_PROGRAM, "mac", "-digest", "SHA256", "-macopt", "hexkey:" + toHex(key), "HMAC"}, message, nullptr});
    EXPECT_EQ(run.status, 0) << run.err;
    std::string mac = run.out.substr(0, run.out.find('\n'));
    for (auto &c : mac)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return mac;
}

// The MAC of a post, as a receiver that checks it computes it.
std::string postMac(const std::string &keyText, const std::string &device, const std::string &hex)
{
    std::string macKey = fromHex(hmacSha256(keyText, "sealpost-mac-key-v1"));
    return hmacSha256(macKey, "sealpost-post-v1\n" + device + "\n" + hex);
}

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
        {BFMAC_PATH, "libcrypto.so.3 libc.so.6 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(neededLibraries(c.path), c.needed + kLoader);
    }
}

TEST(Usage, WrongArgumentsPrintTheUsageLine)
{
    const std::string bfopenUsage = "bfopen [-b] <hex|-> <key>\nbfopen [-b] -k <file> <hex|->\n";
    const std::string bfmacUsage = "bfmac -k <file> [-d <device>] <hex|->\n";
    const struct {
        const char *path;
        std::string usage;
        std::vector<std::string> args;
        int status = 0; // otherwise the usage line goes to standard error
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
        {BFMAC_PATH, bfmacUsage, {}, 2},
        {BFMAC_PATH, bfmacUsage, {kVectorHex}, 2},
        {BFMAC_PATH, bfmacUsage, {"-d", "pump-7", kVectorHex}, 2},
        {BFMAC_PATH, bfmacUsage, {"-k", "file"}, 2},
        {BFMAC_PATH, bfmacUsage, {"-k", "file", kVectorHex, "more"}, 2},
        {BFMAC_PATH, bfmacUsage, {"-k", "file", "-k", "file", kVectorHex}, 2},
        {BFMAC_PATH, bfmacUsage, {"-k", "file", "-d", "a", "-d", "b", kVectorHex}, 2},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &arg : c.args)
            line += " " + arg;
        SCOPED_TRACE(c.path + line);
        ProgramRun run = runProgram({ownProgram(c.path, c.args), "", nullptr});
        EXPECT_EQ(run.out, c.status == 0 ? c.usage : "");
        EXPECT_EQ(run.err, c.status == 0 ? "" : c.usage);
        EXPECT_EQ(run.status, c.status);
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
// sealing, opening and the MAC alike, and the key given as an argument opens
// what the file sealed. A file that holds no key is refused by name before
// anything is written.
TEST(KeyFile, EveryProgramReadsTheKeyFromIt)
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
        // HMAC takes a key of up to one SHA-256 block as it is, and a longer one hashed.
        {std::string(64, 'b') + "\n", std::string(64, 'b'), ""},
        {std::string(65, 'b') + "\r\n", std::string(65, 'b'), ""},
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
        ProgramRun mac = runProgram(
            {ownProgram(BFMAC_PATH, {"-k", file.path, "-d", "pump-7", kVectorHex}), "", nullptr, nullptr, writeKey});
        if (!c.fault.empty()) {
            EXPECT_EQ(sealed.err, "bfseal: key file " + file.path + " " + c.fault + "\n");
            EXPECT_EQ(opened.err, "bfopen: key file " + file.path + " " + c.fault + "\n");
            EXPECT_EQ(mac.err, "bfmac: key file " + file.path + " " + c.fault + "\n");
            for (const ProgramRun &run : {sealed, opened, mac})
                EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(1, std::string()));
            continue;
        }
        EXPECT_EQ(std::make_pair(sealed.status, sealed.err), std::make_pair(0, std::string()));
        EXPECT_EQ(std::make_pair(mac.status, mac.err), std::make_pair(0, std::string()));
        EXPECT_EQ(mac.out, postMac(c.key, "pump-7", kVectorHex) + "\n");
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
        const std::string reason = path[1] == 'n' ? "No such file or directory" : "Is a directory";
        ProgramRun run = runProgram({ownProgram(BFSEAL_PATH, {"-k", path, text}), "", nullptr});
        EXPECT_EQ(run.err, "bfseal: cannot read key file " + std::string(path) + ": " + reason + "\n");
        EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(1, std::string()));
        ProgramRun mac = runProgram({ownProgram(BFMAC_PATH, {"-k", path, kVectorHex}), "", nullptr});
        EXPECT_EQ(mac.err, "bfmac: cannot read key file " + std::string(path) + ": " + reason + "\n");
        EXPECT_EQ(std::make_pair(mac.status, mac.out), std::make_pair(1, std::string()));
    }
}

// bfmac: the MAC of exactly the device and the hex it is given, taken from
// the argument or from standard input alike; what is not a device name or
// the shape of a sealed text is refused before the key file is read.
TEST(KeyFile, BfmacMacsTheDeviceAndTheHexAsGiven)
{
    EXPECT_EQ(postMac("sesame", "pump-7", kVectorHex), kVectorMac);
    KeyPath file("sesame\n");
    std::string oneDigit = kVectorHex, upper = kVectorHex;
    oneDigit[30] = oneDigit[30] == '0' ? '1' : '0';
    for (auto &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    // Past one SHA-256 block of message, and past the reader's first buffer.
    const std::string longHex = std::string(16, '1') + std::string(16 * 8192, 'e');
    const std::string longest(64, 'd');
    const std::string shape = "bfmac: the device name holds other characters than A-Z a-z 0-9 . _ -\n";
    const struct {
        std::vector<std::string> args; // "KEY" stands for the key file's path
        std::string input;             // on standard input
        std::string device, hex;       // what the MAC printed is of
        std::string err;               // otherwise the message; the status is 1
    } cases[] = {
        {{"-k", "KEY", "-d", "pump-7", kVectorHex}, "", "pump-7", kVectorHex, ""},
        {{"-d", "pump-7", "-k", "KEY", "-"}, kVectorHex + "\n", "pump-7", kVectorHex, ""},
        {{"-k", "KEY", "-d", "pump-8", kVectorHex}, "", "pump-8", kVectorHex, ""},
        {{"-k", "KEY", "-d", "pump-7", oneDigit}, "", "pump-7", oneDigit, ""},
        {{"-k", "KEY", kVectorHex}, "", "", kVectorHex, ""},
        {{"-k", "KEY", "-d", longest, kVectorHex}, "", longest, kVectorHex, ""},
        {{"-k", "KEY", "-d", "pump-7", upper}, "", "pump-7", upper, ""},
        {{"-k", "KEY", "-"}, longHex, "", longHex, ""},
        {{"-k", "KEY", "-d", "pump 7", kVectorHex}, "", "", "", shape},
        {{"-k", "KEY", "-d", "p\xc3\xbcmp", kVectorHex}, "", "", "", shape},
        {{"-k", "/no/such/key", "-d", "pump\n7", kVectorHex}, "", "", "", shape},
        {{"-k", "KEY", "-d", "", kVectorHex}, "", "", "",
         "bfmac: the device name is empty; without -d the post names none\n"},
        {{"-k", "KEY", "-d", longest + "d", kVectorHex}, "", "", "",
         "bfmac: the device name is longer than 64 characters\n"},
        {{"-k", "/no/such/key", "-d", "pump-7", kVectorHex + "0"}, "", "", "",
         "bfmac: the input has an odd number of hex digits (49)\n"},
        {{"-k", "KEY", kVectorHex.substr(0, 40)}, "", "", "",
         "bfmac: the ciphertext is not whole blocks: 24 hex digits after the IV, not a multiple of 16\n"},
        {{"-k", "KEY", "37343532"}, "", "", "", "bfmac: the input is too short: 8 hex digits, the IV alone takes 16\n"},
        {{"-k", "KEY", "-x"}, "", "", "", "bfmac: character 1 of the input is not a hex digit\n"},
        {{"-k", "KEY", "-"}, " " + kVectorHex, "", "", "bfmac: character 1 of the input is not a hex digit\n"},
        {{"-k", "KEY", "-"}, kVectorHex + "\n" + kVectorHex, "", "",
         "bfmac: character 49 of the input is not a hex digit\n"},
    };
    std::set<std::string> macs;
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        std::string line;
        for (auto &arg : args) {
            arg = arg == "KEY" ? file.path : arg;
            line += " " + arg;
        }
        SCOPED_TRACE(line.substr(0, 100));
        ProgramRun run = runProgram({ownProgram(BFMAC_PATH, args), c.input, nullptr});
        EXPECT_EQ(run.err, c.err);
        if (!c.err.empty()) {
            EXPECT_EQ(std::make_pair(run.status, run.out), std::make_pair(1, std::string()));
            continue;
        }
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, postMac("sesame", c.device, c.hex) + "\n");
        macs.insert(run.out);
    }
    // Each change of the device or the hex, none included, is a MAC of its own.
    EXPECT_EQ(macs.size(), 7u);
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
