#include "saving/safe_name.h"

#include <algorithm>

namespace snapmend::saving {

namespace {

constexpr std::size_t kMaxKeptExtension = 16;

bool unsafeByte(unsigned char c) { return c < 32 || c == 127 || c == '/' || c == '\\'; }

// Largest cut <= limit that does not split a UTF-8 sequence.
std::size_t utf8Cut(std::string_view s, std::size_t limit) {
    std::size_t cut = std::min(limit, s.size());
    while (cut > 0 && cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

} // namespace

std::string safeComponent(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return "_";
    std::string out(name);
    for (char& c : out)
        if (unsafeByte(static_cast<unsigned char>(c))) c = '_';
    if (out.size() <= kMaxComponentBytes) return out;

    const auto dot = out.rfind('.');
    std::string ext;
    if (dot != std::string::npos && dot > 0 && out.size() - dot <= kMaxKeptExtension) ext = out.substr(dot);
    const std::string_view stem(out.data(), out.size() - ext.size());
    return std::string(stem.substr(0, utf8Cut(stem, kMaxComponentBytes - ext.size()))) + ext;
}

bool isInside(const std::filesystem::path& folder, const std::filesystem::path& path) {
    const auto base = std::filesystem::absolute(folder).lexically_normal();
    const auto full = std::filesystem::absolute(path).lexically_normal();
    const auto rel = full.lexically_relative(base);
    if (rel.empty() || rel == ".") return false;
    const auto first = *rel.begin();
    return first != ".." && !rel.is_absolute();
}

} // namespace snapmend::saving
