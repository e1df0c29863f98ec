#include "image_decode.h"

#include "image_samples.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tavolex::pdf {
namespace {

std::vector<uint8_t> Bytes(const auto& array, size_t drop = 0)
{
    return std::vector<uint8_t>(array, array + sizeof array - drop);
}

// The literal's bytes, NULs included, without its terminator.
template<size_t N>
std::vector<uint8_t> Text(const char (&text)[N])
{
    return std::vector<uint8_t>(text, text + N - 1);
}

struct Pixel {
    uint32_t x, y;
    std::vector<uint8_t> color; // 1 or 3 samples
    int alpha;                  // -1 when the picture has no alpha plane
};

void ExpectPixel(const DecodedImage& image, const Pixel& pixel, const char* what)
{
    const size_t index = static_cast<size_t>(pixel.y) * image.width + pixel.x;
    const size_t samples = image.color == ImageColor::Gray ? 1 : 3;
    ASSERT_EQ(pixel.color.size(), samples) << what;
    // Under alpha 0 the colour is the encoder's choice.
    for (size_t c = 0; c < samples && pixel.alpha != 0; ++c)
        EXPECT_NEAR(image.pixels[index * samples + c], pixel.color[c], 6) << what << " sample " << c;
    if (pixel.alpha < 0)
        EXPECT_TRUE(image.alpha.empty()) << what;
    else
        EXPECT_EQ(image.alpha.at(index), pixel.alpha) << what;
}

TEST(ImageDecodeTest, EachFormatDecodesToItsPixels)
{
    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
        ImageFormat format;
        uint32_t width, height;
        ImageColor color;
        bool passThrough;
        std::vector<Pixel> pixels;
    };
    const Row rows[] = {
        {"png with alpha", Bytes(testing::kPngAlpha), ImageFormat::Png, 8, 8, ImageColor::Rgb, false,
         {{0, 0, {0, 0, 255}, 255}, {1, 5, {255, 0, 0}, 128}, {6, 6, {0, 255, 0}, 0}}},
        {"grey png", Bytes(testing::kPngGray), ImageFormat::Png, 4, 4, ImageColor::Gray, false,
         {{0, 0, {0}, -1}, {3, 3, {240}, -1}, {1, 2, {144}, -1}}},
        {"baseline jpeg", Bytes(testing::kJpegGreen), ImageFormat::Jpeg, 16, 16, ImageColor::Rgb, true,
         {{8, 8, {0, 200, 0}, -1}}},
        {"progressive jpeg", Bytes(testing::kJpegProgressive), ImageFormat::Jpeg, 16, 16, ImageColor::Rgb, true,
         {{15, 15, {0, 200, 0}, -1}}},
        // Cut short: libjpeg repairs the scan, and the repaired pixels go in, not the bytes.
        {"truncated jpeg", Bytes(testing::kJpegGreen, 6), ImageFormat::Jpeg, 16, 16, ImageColor::Rgb, false, {}},
        {"webp with alpha", Bytes(testing::kWebPAlpha), ImageFormat::WebP, 4, 4, ImageColor::Rgb, false,
         {{0, 2, {255, 255, 0}, 0}, {1, 2, {255, 255, 0}, 255}}},
        {"gif with a clear colour", Bytes(testing::kGifTransparent), ImageFormat::Gif, 4, 3, ImageColor::Rgb, false,
         {{0, 0, {255, 0, 0}, 255}, {2, 0, {0, 0, 255}, 255}, {1, 1, {0, 0, 0}, 0}, {3, 1, {255, 0, 0}, 255}}},
        {"interlaced gif", Bytes(testing::kGifInterlaced), ImageFormat::Gif, 2, 8, ImageColor::Rgb, false,
         {{0, 0, {0, 0, 255}, -1}, {1, 1, {32, 0, 223}, -1}, {0, 4, {128, 0, 127}, -1}, {1, 7, {224, 0, 31}, -1}}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SniffImageFormat(row.bytes), row.format) << row.what;
        const std::optional<DecodedImage> image = DecodeImage(row.bytes);
        ASSERT_TRUE(image) << row.what;
        EXPECT_EQ(image->width, row.width) << row.what;
        EXPECT_EQ(image->height, row.height) << row.what;
        EXPECT_EQ(image->color, row.color) << row.what;
        EXPECT_EQ(image->jpegPassThrough, row.passThrough) << row.what;
        EXPECT_EQ(image->pixels.size(), size_t{row.width} * row.height * (row.color == ImageColor::Gray ? 1 : 3))
            << row.what;
        for (const Pixel& pixel : row.pixels)
            ExpectPixel(*image, pixel, row.what);
    }
}

// Damaged and hostile pictures: each gives nothing, without a crash or a huge allocation.
TEST(ImageDecodeTest, DamagedPicturesGiveNothing)
{
    std::vector<uint8_t> badCrc = Bytes(testing::kPngAlpha);
    badCrc[60] ^= 0xff; // inside the IDAT data: its CRC no longer matches
    std::vector<uint8_t> webpDamaged = Bytes(testing::kWebPAlpha);
    for (size_t i = 20; i < webpDamaged.size(); ++i)
        webpDamaged[i] = 0xa5;

    // A GIF whose screen and frame are 65535 x 65535: over the pixel limit.
    std::vector<uint8_t> hugeGif = Text("GIF89a");
    for (uint8_t b : {0xff, 0xff, 0xff, 0xff, 0x80, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0x2c, 0, 0, 0, 0, 0xff, 0xff,
                      0xff, 0xff, 0, 2, 2, 0x4c, 0x01, 0, 0x3b})
        hugeGif.push_back(b);
    // A GIF frame with neither a global nor a local colour map.
    std::vector<uint8_t> noColours = Text("GIF89a");
    for (uint8_t b : {2, 0, 2, 0, 0x00, 0, 0, 0x2c, 0, 0, 0, 0, 2, 0, 2, 0, 0x00, 2, 2, 0x44, 0x01, 0, 0x3b})
        noColours.push_back(b);
    // A JPEG with a start-of-frame claiming 60000 x 60000.
    std::vector<uint8_t> hugeJpeg = Bytes(testing::kJpegGreen);
    for (size_t i = 0; i + 9 < hugeJpeg.size(); ++i) {
        if (hugeJpeg[i] == 0xff && hugeJpeg[i + 1] == 0xc0) {
            hugeJpeg[i + 5] = 0xea;
            hugeJpeg[i + 6] = 0x60;
            hugeJpeg[i + 7] = 0xea;
            hugeJpeg[i + 8] = 0x60;
            break;
        }
    }

    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Row rows[] = {
        {"1 nothing at all", {}},
        {"2 a PNG signature alone", Bytes(testing::kPngAlpha, sizeof testing::kPngAlpha - 8)},
        {"3 a PNG cut in its data", Bytes(testing::kPngAlpha, 40)},
        {"4 a PNG whose data fails its CRC", badCrc},
        {"5 the JPEG start marker alone", {0xff, 0xd8, 0xff}},
        {"6 a JPEG cut inside its tables", Bytes(testing::kJpegGreen, sizeof testing::kJpegGreen - 100)},
        {"7 a JPEG of 60000 x 60000", hugeJpeg},
        {"8 a GIF header alone", Text("GIF89a")},
        {"9 a GIF over the pixel limit", hugeGif},
        {"10 a GIF without colours", noColours},
        {"11 a RIFF WebP header alone", Text("RIFF\x10\0\0\0WEBPVP8 ")},
        {"12 a WebP with garbage after its header", webpDamaged},
        {"13 a BMP, which menus do not use", Text("BM\x3a\0\0\0\0\0\0\0\x36\0\0\0")},
        {"14 plain text", Text("<svg xmlns='http://www.w3.org/2000/svg'/>")},
    };
    for (const Row& row : rows)
        EXPECT_FALSE(DecodeImage(row.bytes)) << row.what;
}

TEST(ImageDecodeTest, PicturesDecodedAheadAreHandedOverOnce)
{
    // The same picture on two pages is two copies of its bytes: it is decoded once, known by
    // content, and handed over once; later asks decode it again, and a picture never decoded
    // ahead (or damaged) is decoded on the spot.
    const std::vector<uint8_t> first = Bytes(testing::kPngAlpha);
    const std::vector<uint8_t> second = first;
    const std::vector<uint8_t> other = Bytes(testing::kPngGray);
    const std::vector<uint8_t> damaged = Bytes(testing::kPngAlpha, 40);
    DecodedPictures pictures;
    std::thread ahead([&] {
        pictures.DecodeAhead(first);
        pictures.DecodeAhead(second);
        pictures.DecodeAhead(damaged);
    });
    ahead.join();

    const std::optional<DecodedImage> taken = pictures.Take(second);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->width, 8u);
    EXPECT_FALSE(taken->alpha.empty());
    const std::optional<DecodedImage> again = pictures.Take(first);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->pixels, taken->pixels);
    const std::optional<DecodedImage> grey = pictures.Take(other);
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->color, ImageColor::Gray);
    EXPECT_FALSE(pictures.Take(damaged));
    EXPECT_FALSE(pictures.Take(damaged));
}

} // namespace
} // namespace tavolex::pdf
