// A fresh folder for one test under the temporary folder, removed afterwards.
#ifndef TESTS_SUPPORT_TEMPDIR_H
#define TESTS_SUPPORT_TEMPDIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace rectest {

class TempDir {
  public:
    TempDir() : m_path((std::filesystem::temp_directory_path() / "nvr-test-XXXXXX").string()) {
        if (mkdtemp(m_path.data()) == nullptr) m_path.clear();
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string sub(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

}  // namespace rectest

#endif  // TESTS_SUPPORT_TEMPDIR_H
