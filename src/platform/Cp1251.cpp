#include "platform/Cp1251.h"

#include <cerrno>
#include <cstddef>
#include <iconv.h>

namespace vx4 {

namespace {

// One conversion descriptor per direction and thread (a descriptor carries state and
// must not be shared between threads).
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter()
    {
        if (Valid())
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts text; each input sequence that cannot be converted is skipped (skipLength
    // tells how many bytes it takes) and a '?' stands in its place.
    std::string Run(std::string_view text, std::size_t (*skipLength)(std::string_view rest))
    {
        std::string out;
        if (!Valid()) {
            out.assign(text.size(), '?');
            return out;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out.reserve(text.size() * 2 + 16);
        char buffer[256];
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        while (inLeft > 0) {
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            const std::size_t r = iconv(cd_, &in, &inLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            if (r != static_cast<std::size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: an unconvertible or malformed (or truncated) sequence.
            std::size_t skip = skipLength(std::string_view(in, inLeft));
            if (skip == 0 || skip > inLeft)
                skip = 1;
            in += skip;
            inLeft -= skip;
            out.push_back('?');
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t cd_;
};

std::size_t OneByte(std::string_view) { return 1; }

// Length of the UTF-8 sequence at the start of rest, 1 when it is malformed.
std::size_t Utf8SequenceLength(std::string_view rest)
{
    const auto lead = static_cast<unsigned char>(rest[0]);
    std::size_t len = 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        len = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        len = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        len = 4;
    else
        return 1;
    if (len > rest.size())
        return 1;
    for (std::size_t i = 1; i < len; ++i)
        if ((static_cast<unsigned char>(rest[i]) & 0xC0) != 0x80)
            return 1;
    return len;
}

} // namespace

std::string Cp1251ToUtf8(std::string_view text)
{
    thread_local Converter conv("UTF-8", "CP1251");
    return conv.Run(text, OneByte);
}

std::string Utf8ToCp1251(std::string_view text)
{
    thread_local Converter conv("CP1251", "UTF-8");
    return conv.Run(text, Utf8SequenceLength);
}

} // namespace vx4
