#include "platform/MoCatalogue.h"

#include <cstdint>

namespace platform {
namespace {

constexpr uint32_t kMagic = 0x950412de;
constexpr uint32_t kSwappedMagic = 0xde120495;

uint32_t Word(const std::string& b, size_t at, bool swap) {
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])); };
    return swap ? byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3)
                : byte(3) << 24 | byte(2) << 16 | byte(1) << 8 | byte(0);
}

} // namespace

bool MoCatalogue::Parse(const std::string& b) {
    entries_.clear();
    if (b.size() < 28) return false;
    const uint32_t magic = Word(b, 0, false);
    if (magic != kMagic && magic != kSwappedMagic) return false;
    const bool swap = magic == kSwappedMagic;
    const uint64_t count = Word(b, 8, swap);
    const uint64_t originals = Word(b, 12, swap);
    const uint64_t translations = Word(b, 16, swap);
    if (originals + count * 8 > b.size() || translations + count * 8 > b.size()) return false;
    // A string of the table: its length and offset, inside the bytes.
    auto text = [&](uint64_t table, uint64_t i, std::string& out) {
        const uint64_t length = Word(b, static_cast<size_t>(table + i * 8), swap);
        const uint64_t offset = Word(b, static_cast<size_t>(table + i * 8 + 4), swap);
        if (offset + length > b.size()) return false;
        out.assign(b, static_cast<size_t>(offset), static_cast<size_t>(length));
        return true;
    };
    std::map<std::string, std::string> found;
    for (uint64_t i = 0; i < count; ++i) {
        std::string original, translation;
        if (!text(originals, i, original) || !text(translations, i, translation)) return false;
        // Plural entries hold "singular\0plural" and "form0\0form1...".
        original.erase(std::min(original.find('\0'), original.size()));
        translation.erase(std::min(translation.find('\0'), translation.size()));
        if (original.empty() || translation.empty()) continue; // the header
        found.emplace(std::move(original), std::move(translation));
    }
    entries_ = std::move(found);
    return true;
}

const std::string* MoCatalogue::Find(const std::string& text) const {
    const auto it = entries_.find(text);
    return it == entries_.end() ? nullptr : &it->second;
}

std::string LanguageFromLocaleName(const std::string& windowsName) {
    std::string name = windowsName;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

std::vector<std::string> LanguageCandidates(const std::string& wish) {
    std::vector<std::string> out;
    auto add = [&out](const std::string& name) {
        for (const auto& have : out)
            if (have == name) return;
        out.push_back(name);
    };
    size_t start = 0;
    while (start <= wish.size()) {
        const size_t end = std::min(wish.find(':', start), wish.size());
        std::string part = wish.substr(start, end - start);
        part.erase(std::min(part.find_first_of(".@"), part.size()));
        if (!part.empty() && part != "C" && part != "POSIX") {
            add(part);
            if (const size_t cut = part.find('_'); cut != std::string::npos)
                add(part.substr(0, cut));
        }
        start = end + 1;
    }
    return out;
}

} // namespace platform
