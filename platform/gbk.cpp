#include "platform/gbk.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace platform {

namespace {

class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // `replacement` stands for each input sequence that cannot be converted; `skip` says
    // how many input bytes that sequence takes.
    template <typename Skip>
    std::string Run(const std::string& input, const std::string& replacement, Skip skip) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        out.reserve(input.size() * 3 / 2 + 4);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* dst = buffer;
            size_t dstLeft = sizeof(buffer);
            size_t r = iconv(cd_, &in, &inLeft, &dst, &dstLeft);
            out.append(buffer, sizeof(buffer) - dstLeft);
            if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
            // EILSEQ, or a sequence cut short at the end of the input (EINVAL)
            out += replacement;
            size_t n = std::min<size_t>(skip(static_cast<unsigned char>(*in)), inLeft);
            in += n;
            inLeft -= n;
        }
        return out;
    }

  private:
    iconv_t cd_;
};

size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

} // namespace

std::string GbkToUtf8(const std::string& gbk) {
    thread_local Converter converter("UTF-8", "GBK");
    return converter.Run(gbk, "\xEF\xBF\xBD", [](unsigned char) { return size_t{1}; });
}

std::string Utf8ToGbk(const std::string& utf8) {
    thread_local Converter converter("GBK", "UTF-8");
    return converter.Run(utf8, "?", Utf8SequenceLength);
}

} // namespace platform
