// A fresh TAVOLEX_HOME for one test: made under the temporary folder, removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace tavolex::testing {

class TestHome {
public:
    TestHome()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavolex-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
        setenv("TAVOLEX_HOME", path_.c_str(), 1);
    }
    ~TestHome()
    {
        unsetenv("TAVOLEX_HOME");
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace tavolex::testing
