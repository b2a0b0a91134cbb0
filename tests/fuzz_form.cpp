// libFuzzer target: any body through the receiver's form reader, checked
// against a plain model of the form: pieces between '&', a name before the
// first '=', '+' for a space and %XX for a byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "form.h"

namespace {

void require(bool condition)
{
    if (!condition)
        abort();
}

std::string decoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string body(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> pieces(1);
    for (char c : body) {
        if (c == '&')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    std::vector<std::string> values, devices, macs;
    for (const std::string &piece : pieces) {
        size_t equals = piece.find('=');
        std::string name = piece.empty() ? "" : decoded(piece.substr(0, equals));
        std::string value = equals == std::string::npos ? "" : decoded(piece.substr(equals + 1));
        if (name == "sealed")
            values.push_back(value);
        else if (name == "device")
            devices.push_back(value);
        else if (name == "mac")
            macs.push_back(value);
    }
    std::string nameCharacters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
    bool goodDevice = devices.size() == 1 && !devices[0].empty() && devices[0].size() <= 64 &&
                      devices[0].find_first_not_of(nameCharacters) == std::string::npos;
    bool goodMac = macs.size() == 1 && macs[0].size() == 64 &&
                   macs[0].find_first_not_of("0123456789abcdef") == std::string::npos;

    SealedForm form = readSealedForm(body.data(), body.size());
    if (pieces.size() > formMaxFields) {
        require(form.fault == formTooManyFields);
    } else if (values.size() != 1) {
        require(form.fault == formNotOneSealed);
    } else {
        const std::string &value = values[0];
        size_t bad = value.find_first_not_of("0123456789abcdefABCDEF");
        if (bad != std::string::npos)
            require(form.fault == formSealedShape && form.shape.fault == sealedHexNotADigit &&
                    form.shape.position == bad + 1);
        else if (value.size() < 16 || value.size() % 16 != 0)
            require(form.fault == formSealedShape && form.shape.fault != sealedHexNotADigit);
        else if (!devices.empty() && !goodDevice)
            require(form.fault == formBadDevice);
        else if (!macs.empty() && !goodMac)
            require(form.fault == formBadMac);
        else
            require(form.fault == formOk && form.sealed != nullptr && value == form.sealed &&
                    form.hasDevice == !devices.empty() && (devices.empty() || devices[0] == form.device) &&
                    form.hasMac == !macs.empty() && (macs.empty() || macs[0] == form.mac));
    }
    require((form.fault == formOk) == (form.sealed != nullptr));
    free(form.sealed);
    return 0;
}
