#include "bdseq.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vq6120::gateway {

namespace {

constexpr std::size_t kMaxFile = 16;  // "255\n" and some slack for a hand edit's spaces

std::string system_error(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace

BdSeqRead read_bdseq(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        return {std::nullopt, system_error("cannot read '" + path + "'")};
    }
    std::string text(kMaxFile + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const auto bad = [&](const std::string &why) { return BdSeqRead{std::nullopt, "'" + path + "' " + why}; };
    if (text.size() > kMaxFile) return bad("is larger than " + std::to_string(kMaxFile) + " bytes");
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return bad("is empty");
    const std::string number = text.substr(first, last - first + 1);
    unsigned value = 0;
    for (const char c : number) {
        if (c < '0' || c > '9') return bad("does not hold a number (\"" + number + "\")");
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) return bad("holds " + number + ", past 255");
    }
    return {static_cast<std::uint8_t>(value), {}};
}

bool write_bdseq(const std::string &path, std::uint8_t value, std::string &error) {
    const std::string temporary = path + ".tmp";
    const std::string text = std::to_string(value) + "\n";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = system_error("cannot write '" + temporary + "'");
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    if (!written) error = system_error("cannot write '" + temporary + "'");
    ::close(fd);
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = system_error("cannot rename '" + temporary + "' to '" + path + "'");
        ::unlink(temporary.c_str());
        return false;
    }
    if (!written) ::unlink(temporary.c_str());
    return written;
}

std::string default_bdseq_path(const std::string &client_id) {
    std::string dir = "/var/lib/vq6120-gateway";
    if (const char *given = std::getenv("STATE_DIRECTORY"); given != nullptr && *given != '\0') {
        dir = given;
        dir = dir.substr(0, dir.find(':'));  // several directories: the first
    }
    return dir + "/" + client_id + ".bdseq";
}

}  // namespace vq6120::gateway
