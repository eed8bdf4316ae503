#include "run_files.h"

#include <glob.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include <fmt/format.h>

namespace quarrow::report {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> _reports_in(const std::string &dir) {
    static const std::regex name("native_memory_([0-9]+)\\.log");
    std::vector<std::pair<unsigned long long, std::string>> found;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(dir, error)) {
        std::string base = entry.path().filename().string();
        std::smatch m;
        if (std::regex_match(base, m, name) && entry.is_regular_file(error))
            found.emplace_back(std::stoull(m[1]), entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto &[pid, path] : found)
        paths.push_back(path);
    return paths;
}

std::vector<std::string> _glob(const std::string &pattern) {
    std::vector<std::string> paths;
    glob_t matches = {};
    if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
        for (size_t i = 0; i < matches.gl_pathc; i++)
            paths.push_back(matches.gl_pathv[i]);
    globfree(&matches);
    return paths;
}

} // namespace

std::vector<std::string> expand_run_files(const std::vector<std::string> &arguments) {
    std::vector<std::string> files;
    for (const std::string &argument : arguments) {
        std::error_code error;
        std::vector<std::string> expanded;
        const char *what = nullptr;
        if (argument != "-" && fs::is_directory(argument, error)) {
            expanded = _reports_in(argument);
            what = "folder holds no native_memory_<PID>.log file";
        } else if (argument.find_first_of("*?[") != std::string::npos && !fs::exists(argument, error)) {
            expanded = _glob(argument);
            what = "matches no file";
        } else {
            expanded = {argument};
        }
        if (expanded.empty())
            fmt::print(stderr, "{}: warning: the {}\n", argument, what);
        files.insert(files.end(), expanded.begin(), expanded.end());
    }
    return files;
}

} // namespace quarrow::report
