// Feeds arbitrary bytes to the picture decoder, as a data URI in a page could. A decoded picture
// must be consistent with its own size.
#include "image_decode.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto image = tavolex::pdf::DecodeImage({data, size});
    if (!image)
        return 0;
    const size_t count = static_cast<size_t>(image->width) * image->height;
    const size_t samples = image->color == tavolex::pdf::ImageColor::Gray ? 1 : 3;
    if (count == 0 || count > tavolex::pdf::kMaxImagePixels || image->pixels.size() != count * samples ||
        (!image->alpha.empty() && image->alpha.size() != count))
        std::abort();
    return 0;
}
