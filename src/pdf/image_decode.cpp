#include "image_decode.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <webp/decode.h>

namespace tavolex::pdf {

namespace {

// A progressive JPEG may carry any number of scans, and each one walks the whole picture again;
// real encoders write about ten, so a few hundred is a hostile file rather than a picture.
constexpr int kMaxJpegScans = 500;

bool SizeAllowed(uint64_t width, uint64_t height)
{
    return width > 0 && height > 0 && width * height <= kMaxImagePixels;
}

bool StartsWith(std::span<const uint8_t> bytes, std::string_view prefix, size_t at = 0)
{
    return bytes.size() >= at + prefix.size() && std::memcmp(bytes.data() + at, prefix.data(), prefix.size()) == 0;
}

// Splits interleaved pixels with a trailing alpha byte into colour and alpha planes.
void SplitAlpha(DecodedImage& image, const std::vector<uint8_t>& interleaved, size_t colorBytes)
{
    const size_t count = static_cast<size_t>(image.width) * image.height;
    image.pixels.resize(count * colorBytes);
    image.alpha.resize(count);
    const uint8_t* in = interleaved.data();
    uint8_t* out = image.pixels.data();
    for (size_t i = 0; i < count; ++i) {
        for (size_t c = 0; c < colorBytes; ++c)
            *out++ = *in++;
        image.alpha[i] = *in++;
    }
}

// A plane that is opaque everywhere adds only bytes to the PDF.
void DropOpaqueAlpha(DecodedImage& image)
{
    if (std::all_of(image.alpha.begin(), image.alpha.end(), [](uint8_t a) { return a == 255; }))
        image.alpha.clear();
}

// ---------------------------------------------------------------------------------------------
// PNG through libpng's simplified interface (it reports errors in the image record, no longjmp
// reaches our frames).

std::optional<DecodedImage> DecodePng(std::span<const uint8_t> bytes)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
        png_image_free(&png);
        return std::nullopt;
    }
    if (!SizeAllowed(png.width, png.height)) {
        png_image_free(&png);
        return std::nullopt;
    }
    const bool color = (png.format & PNG_FORMAT_FLAG_COLOR) != 0;
    const bool alpha = (png.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    png.format = color ? (alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB) : (alpha ? PNG_FORMAT_GA : PNG_FORMAT_GRAY);
    std::vector<uint8_t> buffer(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, buffer.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    DecodedImage image;
    image.width = png.width;
    image.height = png.height;
    image.color = color ? ImageColor::Rgb : ImageColor::Gray;
    if (alpha) {
        SplitAlpha(image, buffer, color ? 3 : 1);
        DropOpaqueAlpha(image);
    } else {
        image.pixels = std::move(buffer);
    }
    return image;
}

// ---------------------------------------------------------------------------------------------
// JPEG through libjpeg. Its errors leave by longjmp; RunJpeg keeps nothing with a destructor in
// its own frame, and everything it fills lives in the job record outside it.

struct JpegError {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

struct JpegJob {
    jpeg_decompress_struct info;
    JpegError error;
    jpeg_progress_mgr progress;
    DecodedImage* out;
    std::vector<uint8_t>* scratch; // CMYK rows before conversion
};

[[noreturn]] void OnJpegError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

// Warnings (a truncated scan, extra bytes) are counted but not printed; the picture still decodes.
void OnJpegMessage(j_common_ptr info, int level)
{
    if (level < 0)
        ++info->err->num_warnings;
}

void OnJpegProgress(j_common_ptr info)
{
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number > kMaxJpegScans)
        OnJpegError(info);
}

bool RunJpeg(JpegJob* job, const uint8_t* data, size_t size)
{
    jpeg_decompress_struct* info = &job->info;
    info->err = jpeg_std_error(&job->error.base);
    job->error.base.error_exit = OnJpegError;
    job->error.base.emit_message = OnJpegMessage;
    if (setjmp(job->error.jump)) {
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_create_decompress(info);
    job->progress.progress_monitor = OnJpegProgress;
    info->progress = &job->progress;
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    jpeg_read_header(info, TRUE);
    if (!SizeAllowed(info->image_width, info->image_height)) {
        jpeg_destroy_decompress(info);
        return false;
    }

    DecodedImage* image = job->out;
    const J_COLOR_SPACE source = info->jpeg_color_space;
    const bool cmyk = source == JCS_CMYK || source == JCS_YCCK;
    const bool gray = source == JCS_GRAYSCALE;
    info->out_color_space = cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_RGB;
    image->jpegPassThrough = !info->arith_code && info->data_precision == 8 &&
                             ((gray && info->num_components == 1) ||
                              (info->num_components == 3 &&
                               (source == JCS_YCbCr || (source == JCS_RGB && info->saw_Adobe_marker))));
    const bool inverted = cmyk && info->saw_Adobe_marker; // Adobe writes CMYK inverted
    jpeg_start_decompress(info);

    image->width = info->output_width;
    image->height = info->output_height;
    image->color = gray ? ImageColor::Gray : ImageColor::Rgb;
    const size_t outBytes = gray ? 1 : 3;
    const size_t readBytes = static_cast<size_t>(info->output_components);
    image->pixels.resize(static_cast<size_t>(image->width) * image->height * outBytes);
    job->scratch->resize(static_cast<size_t>(image->width) * readBytes);
    while (info->output_scanline < info->output_height) {
        const size_t row = info->output_scanline;
        uint8_t* target = image->pixels.data() + row * image->width * outBytes;
        JSAMPROW rows[1] = {cmyk ? job->scratch->data() : target};
        if (jpeg_read_scanlines(info, rows, 1) != 1)
            break;
        if (cmyk) {
            const uint8_t* in = job->scratch->data();
            for (size_t x = 0; x < image->width; ++x, in += 4) {
                const int c = inverted ? in[0] : 255 - in[0];
                const int m = inverted ? in[1] : 255 - in[1];
                const int y = inverted ? in[2] : 255 - in[2];
                const int k = inverted ? in[3] : 255 - in[3];
                target[x * 3] = static_cast<uint8_t>(c * k / 255);
                target[x * 3 + 1] = static_cast<uint8_t>(m * k / 255);
                target[x * 3 + 2] = static_cast<uint8_t>(y * k / 255);
            }
        }
    }
    jpeg_finish_decompress(info);
    // A stream that needed repair shows the repaired pixels, not the damaged bytes.
    if (job->error.base.num_warnings > 0)
        image->jpegPassThrough = false;
    jpeg_destroy_decompress(info);
    return true;
}

std::optional<DecodedImage> DecodeJpeg(std::span<const uint8_t> bytes)
{
    DecodedImage image;
    std::vector<uint8_t> scratch;
    JpegJob job{};
    job.out = &image;
    job.scratch = &scratch;
    if (!RunJpeg(&job, bytes.data(), bytes.size()))
        return std::nullopt;
    return image;
}

// ---------------------------------------------------------------------------------------------
// WebP

std::optional<DecodedImage> DecodeWebP(std::span<const uint8_t> bytes)
{
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK)
        return std::nullopt;
    if (features.width <= 0 || features.height <= 0 ||
        !SizeAllowed(static_cast<uint64_t>(features.width), static_cast<uint64_t>(features.height)))
        return std::nullopt;
    DecodedImage image;
    image.width = static_cast<uint32_t>(features.width);
    image.height = static_cast<uint32_t>(features.height);
    image.color = ImageColor::Rgb;
    const size_t count = static_cast<size_t>(image.width) * image.height;
    if (features.has_alpha) {
        std::vector<uint8_t> buffer(count * 4);
        if (!WebPDecodeRGBAInto(bytes.data(), bytes.size(), buffer.data(), buffer.size(),
                                static_cast<int>(image.width * 4)))
            return std::nullopt;
        SplitAlpha(image, buffer, 3);
        DropOpaqueAlpha(image);
    } else {
        image.pixels.resize(count * 3);
        if (!WebPDecodeRGBInto(bytes.data(), bytes.size(), image.pixels.data(), image.pixels.size(),
                               static_cast<int>(image.width * 3)))
            return std::nullopt;
    }
    return image;
}

// ---------------------------------------------------------------------------------------------
// GIF: the first frame over a transparent canvas of the logical screen's size, as a browser
// shows a still picture.

struct GifSource {
    std::span<const uint8_t> bytes;
    size_t position = 0;
};

int ReadGifBytes(GifFileType* gif, GifByteType* buffer, int wanted)
{
    auto* source = static_cast<GifSource*>(gif->UserData);
    const size_t left = source->bytes.size() - source->position;
    const size_t count = std::min(left, static_cast<size_t>(std::max(wanted, 0)));
    std::memcpy(buffer, source->bytes.data() + source->position, count);
    source->position += count;
    return static_cast<int>(count);
}

struct GifCloser {
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

// Reads records up to the first frame's descriptor, taking the transparent index from a graphics
// control extension on the way. False when there is no frame or the file is broken.
bool ReadFirstFrameDescriptor(GifFileType* gif, int& transparent)
{
    for (;;) {
        GifRecordType record;
        if (DGifGetRecordType(gif, &record) != GIF_OK)
            return false;
        if (record == TERMINATE_RECORD_TYPE)
            return false; // no frame at all
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) != GIF_OK)
                return false;
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
                GraphicsControlBlock control;
                if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                    transparent = control.TransparentColor;
            }
            while (block) {
                if (DGifGetExtensionNext(gif, &block) != GIF_OK)
                    return false;
            }
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE)
            continue;
        return DGifGetImageDesc(gif) == GIF_OK;
    }
}

// The frame's colour indexes, row by row. Rows arrive in the order the frame stores them;
// interlaced frames store every 8th row from 0, then every 8th from 4, every 4th from 2 and
// every 2nd from 1.
bool ReadFrameIndexes(GifFileType* gif, std::vector<GifPixelType>& indexes)
{
    const GifImageDesc& frame = gif->Image;
    const size_t frameWidth = static_cast<size_t>(frame.Width);
    indexes.resize(frameWidth * static_cast<size_t>(frame.Height));
    auto readRow = [&](int row) {
        return DGifGetLine(gif, indexes.data() + static_cast<size_t>(row) * frameWidth, frame.Width) == GIF_OK;
    };
    if (frame.Interlace) {
        static constexpr int kStart[4] = {0, 4, 2, 1};
        static constexpr int kStep[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int row = kStart[pass]; row < frame.Height; row += kStep[pass])
                if (!readRow(row))
                    return false;
    } else {
        for (int row = 0; row < frame.Height; ++row)
            if (!readRow(row))
                return false;
    }
    return true;
}

// The frame painted on a transparent screen of `width` x `height`.
DecodedImage PaintFrame(const GifImageDesc& frame, const ColorMapObject& map, const std::vector<GifPixelType>& indexes,
                        int transparent, uint32_t width, uint32_t height)
{
    const size_t frameWidth = static_cast<size_t>(frame.Width);
    DecodedImage image;
    image.width = width;
    image.height = height;
    image.color = ImageColor::Rgb;
    image.pixels.assign(static_cast<size_t>(width) * height * 3, 0);
    image.alpha.assign(static_cast<size_t>(width) * height, 0);
    for (int row = 0; row < frame.Height; ++row) {
        const uint64_t y = static_cast<uint64_t>(frame.Top) + static_cast<uint64_t>(row);
        if (y >= height)
            break;
        for (int column = 0; column < frame.Width; ++column) {
            const uint64_t x = static_cast<uint64_t>(frame.Left) + static_cast<uint64_t>(column);
            if (x >= width)
                break;
            const int index = indexes[static_cast<size_t>(row) * frameWidth + static_cast<size_t>(column)];
            if (index == transparent)
                continue;
            const size_t at = static_cast<size_t>(y * width + x);
            if (index < map.ColorCount) {
                const GifColorType& color = map.Colors[index];
                image.pixels[at * 3] = color.Red;
                image.pixels[at * 3 + 1] = color.Green;
                image.pixels[at * 3 + 2] = color.Blue;
            } // an index past the colour map shows black
            image.alpha[at] = 255;
        }
    }
    return image;
}

std::optional<DecodedImage> DecodeGif(std::span<const uint8_t> bytes)
{
    GifSource source{bytes, 0};
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&source, ReadGifBytes, &error));
    if (!gif)
        return std::nullopt;
    int transparent = NO_TRANSPARENT_COLOR;
    if (!ReadFirstFrameDescriptor(gif.get(), transparent))
        return std::nullopt;

    const GifImageDesc& frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0 ||
        !SizeAllowed(static_cast<uint64_t>(frame.Width), static_cast<uint64_t>(frame.Height)))
        return std::nullopt;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!map || !map->Colors)
        return std::nullopt;
    uint32_t width = gif->SWidth > 0 ? static_cast<uint32_t>(gif->SWidth) : 0;
    uint32_t height = gif->SHeight > 0 ? static_cast<uint32_t>(gif->SHeight) : 0;
    if (width == 0 || height == 0) { // a screen of no size: the frame is the picture
        width = static_cast<uint32_t>(frame.Left + frame.Width);
        height = static_cast<uint32_t>(frame.Top + frame.Height);
    }
    if (!SizeAllowed(width, height))
        return std::nullopt;

    std::vector<GifPixelType> indexes;
    if (!ReadFrameIndexes(gif.get(), indexes))
        return std::nullopt;
    DecodedImage image = PaintFrame(frame, *map, indexes, transparent, width, height);
    DropOpaqueAlpha(image);
    return image;
}

} // namespace

ImageFormat SniffImageFormat(std::span<const uint8_t> bytes)
{
    if (StartsWith(bytes, "\x89PNG\r\n\x1a\n"))
        return ImageFormat::Png;
    if (StartsWith(bytes, "\xff\xd8\xff"))
        return ImageFormat::Jpeg;
    if (StartsWith(bytes, "GIF87a") || StartsWith(bytes, "GIF89a"))
        return ImageFormat::Gif;
    if (StartsWith(bytes, "RIFF") && StartsWith(bytes, "WEBP", 8))
        return ImageFormat::WebP;
    return ImageFormat::Unknown;
}

std::optional<DecodedImage> DecodeImage(std::span<const uint8_t> bytes)
{
    switch (SniffImageFormat(bytes)) {
    case ImageFormat::Png: return DecodePng(bytes);
    case ImageFormat::Jpeg: return DecodeJpeg(bytes);
    case ImageFormat::WebP: return DecodeWebP(bytes);
    case ImageFormat::Gif: return DecodeGif(bytes);
    case ImageFormat::Unknown: return std::nullopt;
    }
    return std::nullopt;
}

DecodedPictures::Entry* DecodedPictures::Find(std::span<const uint8_t> bytes)
{
    for (Entry& entry : entries_)
        if (entry.bytes.size() == bytes.size() &&
            (entry.bytes.data() == bytes.data() || std::equal(bytes.begin(), bytes.end(), entry.bytes.begin())))
            return &entry;
    return nullptr;
}

void DecodedPictures::DecodeAhead(std::span<const uint8_t> bytes)
{
    {
        std::lock_guard guard(lock_);
        if (Find(bytes))
            return;
    }
    std::optional<DecodedImage> picture = DecodeImage(bytes);
    std::lock_guard guard(lock_);
    if (!Find(bytes))
        entries_.push_back({bytes, std::move(picture), false});
}

std::optional<DecodedImage> DecodedPictures::Take(std::span<const uint8_t> bytes)
{
    {
        std::lock_guard guard(lock_);
        if (Entry* entry = Find(bytes); entry && !entry->taken) {
            entry->taken = true;
            return std::move(entry->picture);
        }
    }
    return DecodeImage(bytes);
}

} // namespace tavolex::pdf
