// The catalogue reader used where there is no gettext: .mo files as msgfmt
// writes them, in either byte order, and what it refuses.
#include "platform/MoCatalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void Put(std::string& out, size_t at, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<size_t>(i)] =
            static_cast<char>(big ? v >> (24 - 8 * i) : v >> (8 * i));
}

// A .mo file of `entries` (sorted by original, as msgfmt writes them).
std::string MoFile(const Entries& entries, bool big = false) {
    const uint32_t n = static_cast<uint32_t>(entries.size());
    const uint32_t originals = 28, translations = originals + 8 * n;
    std::string out(translations + 8 * n, '\0');
    Put(out, 0, 0x950412de, big);
    Put(out, 8, n, big);
    Put(out, 12, originals, big);
    Put(out, 16, translations, big);
    auto add = [&](uint32_t table, uint32_t i, const std::string& text) {
        Put(out, table + 8 * i, static_cast<uint32_t>(text.size()), big);
        Put(out, table + 8 * i + 4, static_cast<uint32_t>(out.size()), big);
        out += text;
        out += '\0';
    };
    for (uint32_t i = 0; i < n; ++i)
        add(originals, i, entries[i].first);
    for (uint32_t i = 0; i < n; ++i)
        add(translations, i, entries[i].second);
    return out;
}

const Entries kDutch{{"", "Content-Type: text/plain; charset=UTF-8\n"},
                     {"Port is closed", "Poort is dicht"},
                     {std::string("one port\0%d ports", 17), std::string("een poort\0%d poorten", 20)},
                     {"untranslated", ""}};

TEST(MoCatalogue, FindsTranslationsInEitherByteOrder) {
    for (bool big : {false, true}) {
        platform::MoCatalogue cat;
        ASSERT_TRUE(cat.Parse(MoFile(kDutch, big))) << big;
        ASSERT_NE(cat.Find("Port is closed"), nullptr);
        EXPECT_EQ(*cat.Find("Port is closed"), "Poort is dicht");
        // A plural entry answers for its singular with its first form.
        ASSERT_NE(cat.Find("one port"), nullptr);
        EXPECT_EQ(*cat.Find("one port"), "een poort");
        // The header and an empty translation are no translations.
        EXPECT_EQ(cat.Find(""), nullptr);
        EXPECT_EQ(cat.Find("untranslated"), nullptr);
        EXPECT_EQ(cat.Find("Port is open"), nullptr);
        EXPECT_EQ(cat.Size(), 2u);
    }
}

TEST(MoCatalogue, RefusesWhatIsNoCatalogue) {
    const std::string good = MoFile(kDutch);
    std::string badMagic = good;
    badMagic[0] = 'x';
    std::string tableOutside = good;
    Put(tableOutside, 16, static_cast<uint32_t>(good.size()), false);
    std::string stringOutside = good;
    Put(stringOutside, 28 + 8 + 4, static_cast<uint32_t>(good.size() - 2), false);
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {{"empty", ""},
                 {"short header", good.substr(0, 20)},
                 {"wrong magic", badMagic},
                 {"table past the end", tableOutside},
                 {"string past the end", stringOutside},
                 {"cut off", good.substr(0, good.size() - 5)}};
    for (const auto& c : cases) {
        platform::MoCatalogue cat;
        EXPECT_FALSE(cat.Parse(c.bytes)) << c.what;
        EXPECT_EQ(cat.Size(), 0u) << c.what;
    }
}

TEST(MoCatalogue, LanguageWishesGiveCatalogueNamesInOrder) {
    const struct {
        const char* wish;
        std::vector<std::string> names;
    } cases[] = {{"nl_NL.UTF-8", {"nl_NL", "nl"}},
                 {"nl_BE@euro", {"nl_BE", "nl"}},
                 {"nl_NL:de_DE:nl", {"nl_NL", "nl", "de_DE", "de"}},
                 {"de", {"de"}},
                 {"C", {}},
                 {"POSIX:nl", {"nl"}},
                 {"", {}},
                 {"::", {}}};
    for (const auto& c : cases)
        EXPECT_EQ(platform::LanguageCandidates(c.wish), c.names) << c.wish;
    EXPECT_EQ(platform::LanguageFromLocaleName("nl-NL"), "nl_NL");
}

} // namespace
