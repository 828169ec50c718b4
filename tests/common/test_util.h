// Helpers that every test tree needs alike: waiting for what another thread or process does,
// whole files as strings, and a scratch folder that is gone again when its test ends.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// Polls done until it holds or the limit has passed; whether it held.
inline bool wait_until(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       std::chrono::milliseconds step = std::chrono::milliseconds(2))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// The file byte for byte; empty when there is none.
inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The daemon's log file as lines without their time stamps: "%c" in the POSIX locale is 24
// characters, then one blank.
inline std::vector<std::string> log_lines(const std::string &path)
{
    std::vector<std::string> v;
    std::istringstream in(read_file(path));
    for (std::string l; std::getline(in, l);)
        v.push_back(l.size() >= 25 ? l.substr(25) : l);
    return v;
}

// A fresh folder /tmp/PREFIX-XXXXXX, removed with everything in it when this goes; path() is
// empty when it could not be made.
class temp_dir
{
public:
    explicit temp_dir(const std::string &prefix)
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data()))
            path_ = tmpl;
    }
    ~temp_dir() { remove(); }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }

    // For an owner that must see it gone at a moment of its own (after closing a log in it, for
    // instance); whether it is gone.
    bool remove()
    {
        if (path_.empty())
            return true;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        if (ec)
            return false;
        path_.clear();
        return true;
    }

private:
    std::string path_;
};
