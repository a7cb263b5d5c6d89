#pragma once
// Helpers for the option bank tests: banks written to temporary files, and a numeric
// locale whose decimal separator is ",".

#include "options/OptionBank.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vx4test {

// A temporary folder removed with the object.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vx4optXXXXXX").string();
        path_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes bytes as they are and returns the file's path.
    std::string Write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(File(name), std::ios::binary) << bytes;
        return File(name);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Switches LC_NUMERIC to a locale with "," as decimal separator for the life of the object
// and restores the previous one afterwards. Test machines often carry no such locale, so
// one is generated once per process with localedef into a temporary folder named by
// LOCPATH; Active() is false when neither works.
class CommaLocale {
public:
    CommaLocale()
    {
        saved_ = std::setlocale(LC_NUMERIC, nullptr);
        for (const char* name : {"ru_RU.UTF-8", "de_DE.UTF-8", "ru_RU.utf8", "de_DE.utf8"})
            if (std::setlocale(LC_NUMERIC, name) != nullptr && IsComma()) {
                active_ = true;
                return;
            }
        const std::string& dir = Generated();
        if (dir.empty())
            return;
        setenv("LOCPATH", dir.c_str(), 1);
        active_ = std::setlocale(LC_NUMERIC, "vx4comma.UTF-8") != nullptr && IsComma();
        unsetenv("LOCPATH");
    }
    ~CommaLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
    bool Active() const { return active_; }

private:
    static bool IsComma() { return std::localeconv()->decimal_point[0] == ','; }

    static const std::string& Generated()
    {
        static TempDir dir;
        static const std::string path = [] {
            const std::string src = dir.Write("comma.src",
                                              "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\n"
                                              "LC_NUMERIC\ndecimal_point \"<U002C>\"\n"
                                              "thousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n");
            const std::string cmd = "localedef -i " + src + " -f UTF-8 " +
                                    dir.File("vx4comma.UTF-8") + " >/dev/null 2>&1";
            // localedef reports the categories left undefined with a non-zero status; the
            // numeric category is all that is needed, so only the result folder counts.
            (void)std::system(cmd.c_str());
            return std::filesystem::exists(dir.File("vx4comma.UTF-8/LC_NUMERIC")) ? dir.Path()
                                                                                  : std::string();
        }();
        return path;
    }

    std::string saved_;
    bool active_ = false;
};

} // namespace vx4test
