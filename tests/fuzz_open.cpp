// libFuzzer target: arbitrary hex text and key through hex decoding, CBC
// decryption, and bfopen's checks and opening; the whole input through
// bfopen's reader of standard input.
//
// Input layout: the first byte is the key's length, the key follows, the rest
// is the hex text. Both end at their first zero byte, as arguments do.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BlowfishEncDec.h"
#include "hex_input.h"
#include "sealed.h"
#include "utf8_text.h"

namespace {

void require(bool condition)
{
    if (!condition)
        abort();
}

std::string lowercase(std::string text)
{
    for (auto &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The reader keeps the hex digits of an input that is digits, then blanks;
// it stops at the first byte that breaks that shape, or past the limit.
void checkReader(const std::string &input, size_t limit)
{
    size_t digits = 0;
    while (digits < input.size() && isxdigit(static_cast<unsigned char>(input[digits])))
        ++digits;
    size_t blanks = digits;
    while (blanks < input.size() && isBlank(input[blanks]))
        ++blanks;
    // The byte that breaks the shape; the one reported for it is the first
    // after the digits, a blank before it included.
    size_t breaking = blanks < input.size() ? blanks : SIZE_MAX;
    size_t reported = digits + 1;

    int fd = memfd_create("input", 0);
    require(fd >= 0 && write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()) &&
            lseek(fd, 0, SEEK_SET) == 0);
    char *text = nullptr;
    HexInput read = readHexInput(fd, limit, &text);
    close(fd);
    if (breaking <= limit)
        require(read.result == hexInputNotHex && read.position == reported);
    else if (input.size() > limit)
        require(read.result == hexInputTooLong);
    else
        require(read.result == hexInputRead && text != nullptr && input.compare(0, digits, text) == 0 &&
                strlen(text) == digits);
    require((read.result == hexInputRead) == (text != nullptr));
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    checkReader(std::string(reinterpret_cast<const char *>(data), size), 16 * data[0]);
    size_t keyLength = std::min<size_t>(data[0], size - 1);
    std::string key(reinterpret_cast<const char *>(data + 1), keyLength);
    std::string hex(reinterpret_cast<const char *>(data + 1 + keyLength), size - 1 - keyLength);
    key = key.c_str();
    hex = hex.c_str();

    CBCBuffer buffer = hexDecode(hex.c_str());
    if (hex.size() % 2 != 0) {
        require(buffer.data == nullptr && buffer.size == 0);
    } else {
        require(buffer.data != nullptr && buffer.size == (hex.size() / 2 + 7) / 8 * 8);
        char *text = decode_cbc(buffer, key.c_str(), ivStringOf("ABCDEFGH"));
        require(text != nullptr);
        free(text);
    }
    releaseCBCBuffer(&buffer);

    if (checkSealedHex(hex.c_str()).fault != sealedHexOk)
        return 0;
    char *text = nullptr;
    OpenResult result = openSealed(hex.c_str(), key.c_str(), openedAnyBytes, &text);
    require((result == opened) == (text != nullptr));
    if (text == nullptr)
        return 0;

    // Opened as text it is the same text, when it is UTF-8 text at all.
    char *asText = nullptr;
    OpenResult textResult = openSealed(hex.c_str(), key.c_str(), openedText, &asText);
    require(textResult == (isUtf8Text(text, strlen(text)) ? opened : openNotText));
    require(asText == nullptr || strcmp(asText, text) == 0);
    free(asText);

    // Tried under a key that opens nothing, then under the key twice, it is
    // the same text, opened by the second try.
    BFSchedule *schedules[] = {allocSchedule("a key that opens nothing here"), allocSchedule(key.c_str()),
                               allocSchedule(key.c_str())};
    char *underEach = nullptr;
    size_t opener = 0;
    OpenResult eachResult = openSealedUnderEach(hex.c_str(), schedules, 3, openedAnyBytes, &underEach, &opener);
    require(eachResult == opened && underEach != nullptr);
    if (opener == 0) {
        char *byChance = nullptr;
        require(openSealed(hex.c_str(), "a key that opens nothing here", openedAnyBytes, &byChance) == opened &&
                strcmp(byChance, underEach) == 0);
        free(byChance);
    } else {
        require(opener == 1 && strcmp(underEach, text) == 0);
    }
    free(underEach);
    for (BFSchedule *schedule : schedules)
        releaseSchedule(schedule);

    // Whatever opens must seal back, under the same key and IV, to exactly the
    // ciphertext it came from.
    IVString iv = {};
    for (int i = 0; i < 8; ++i)
        iv.string[i] = static_cast<char>(binFromHexWord(hex[2 * i], hex[2 * i + 1]));
    CBCBuffer sealed = encode_cbc(text, key.c_str(), iv);
    char *sealedHex = hexEncodeCBCBuffer(sealed);
    require(sealedHex != nullptr && lowercase(hex.substr(16)) == sealedHex);
    free(sealedHex);
    releaseCBCBuffer(&sealed);
    free(text);
    return 0;
}
