// Picture decoding for the PDF writer: PNG (libpng), JPEG (libjpeg-turbo), WebP (libwebp) and
// GIF (giflib, first frame) bytes become 8-bit grey or RGB pixels with an optional alpha plane.
//
// The bytes come from data URIs in the browser's SVG, so any input must be safe: a picture that
// is damaged, of an unknown kind, or larger than kMaxImagePixels gives nothing.
//
//     if (auto picture = DecodeImage(bytes))
//         WriteImage(*picture);
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace tavolex::pdf {

enum class ImageFormat { Unknown, Png, Jpeg, WebP, Gif };

// 50 million pixels take 250 MB as grey, RGB and alpha planes: more than any menu picture
// needs, and small enough that a hostile header cannot exhaust memory.
inline constexpr uint64_t kMaxImagePixels = 50'000'000;

enum class ImageColor { Gray, Rgb };

struct DecodedImage {
    uint32_t width = 0;
    uint32_t height = 0;
    ImageColor color = ImageColor::Rgb;
    std::vector<uint8_t> pixels; // rows top to bottom, 1 or 3 bytes per pixel
    std::vector<uint8_t> alpha;  // 1 byte per pixel; empty when every pixel is opaque
    // A JPEG that PDF's DCTDecode shows as it is (baseline or progressive, 8 bits, grey or
    // YCbCr/RGB): it may be embedded unchanged.
    bool jpegPassThrough = false;
};

ImageFormat SniffImageFormat(std::span<const uint8_t> bytes);
std::optional<DecodedImage> DecodeImage(std::span<const uint8_t> bytes);

// Pictures decoded ahead of their drawing, on a thread that has time for it (a converter's
// helper decodes the pictures of each page it parses). Pictures are known by their encoded
// bytes, which must stay alive and unchanged while they are here; the same picture on several
// pages is decoded once. Both calls may come from different threads.
class DecodedPictures {
public:
    void DecodeAhead(std::span<const uint8_t> bytes);
    // The picture decoded ahead, handed over (a second call decodes again), or else decoded now.
    std::optional<DecodedImage> Take(std::span<const uint8_t> bytes);

private:
    struct Entry {
        std::span<const uint8_t> bytes;
        std::optional<DecodedImage> picture; // nothing once taken, or when it does not decode
        bool taken = false;
    };
    Entry* Find(std::span<const uint8_t> bytes); // under the lock

    std::mutex lock_;
    std::list<Entry> entries_; // a few pictures a menu: a list searched in order suffices
};

} // namespace tavolex::pdf
