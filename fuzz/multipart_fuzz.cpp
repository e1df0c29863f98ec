// The multipart reader over arbitrary bodies and boundaries. The first line is the boundary,
// the rest the body. Every file it lists must exist until the caller removes it, and none may
// exist that it did not list.
#include "platform.h"
#include "web.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string runtime = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavolex-multipart-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        setenv("TAVOLEX_HOME", pattern.c_str(), 1);
        return tavolex::platform::RuntimeFolder();
    }();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string_view boundary = newline == std::string_view::npos ? std::string_view() : input.substr(0, std::min<size_t>(newline, 70));
    std::string_view body = newline == std::string_view::npos ? input : input.substr(newline + 1);

    tavolex::web::ParameterMap parameters;
    std::vector<tavolex::web::UploadedFile> files;
    bool tooLarge = false;
    tavolex::web::ParseMultipartBody(body, boundary, parameters, files, tooLarge);
    for (const tavolex::web::UploadedFile& file : files) {
        if (file.temporaryPath.empty())
            continue;
        if (!std::filesystem::exists(file.temporaryPath))
            std::abort();
        std::filesystem::remove(file.temporaryPath);
    }
    for (const auto& entry : std::filesystem::directory_iterator(runtime))
        if (entry.path().filename().string().starts_with("upl"))
            std::abort(); // a temporary file nobody was told of
    return 0;
}
