#include "shell/jpeg_image.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <vector>

namespace shell {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

// libjpeg's default would exit the process on a corrupt picture.
void OnError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}
void OnMessage(j_common_ptr) {}

} // namespace

QImage DecodeJpeg(std::string_view data) {
    if (data.empty()) return QImage();
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.output_message = OnMessage;
    // Everything the jump may skip lives outside this frame's automatic objects with
    // destructors: the image is built only after a successful decode.
    std::vector<unsigned char> pixels;
    JDIMENSION width = 0, height = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return QImage();
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = info.output_width;
    height = info.output_height;
    pixels.resize(static_cast<size_t>(width) * height * 3);
    while (info.output_scanline < height) {
        unsigned char* row = pixels.data() + static_cast<size_t>(info.output_scanline) * width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB888);
    for (JDIMENSION y = 0; y < height; ++y)
        std::copy_n(pixels.data() + static_cast<size_t>(y) * width * 3, width * 3,
                    image.scanLine(static_cast<int>(y)));
    return image;
}

} // namespace shell
