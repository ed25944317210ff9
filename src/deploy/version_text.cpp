#include "deploy/version_text.h"

#include <cstring>
#include <cwchar>
#include <utility>

namespace qelmo {

namespace {

// Room for the query text "\StringFileInfo\<language><code page>\Fileversion".
constexpr size_t kQueryUnits = MAX_PATH;

// One entry of a version resource's translation table.
struct Translation {
    WORD language;
    WORD codePage;
};

}  // namespace

std::vector<TranslationText> FileVersionTexts(const void* block) {
    std::vector<TranslationText> texts;
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!VerQueryValueW(block, L"\\VarFileInfo\\Translation", &table, &tableBytes) || !table)
        return texts;
    const size_t entries = tableBytes / sizeof(Translation);
    for (size_t i = 0; i < entries; ++i) {
        Translation entry;
        std::memcpy(&entry, static_cast<const BYTE*>(table) + i * sizeof(Translation),
                    sizeof entry);
        wchar_t subBlock[kQueryUnits] = {};
        swprintf(subBlock, kQueryUnits, L"\\StringFileInfo\\%04x%04x\\Fileversion",
                 static_cast<unsigned>(entry.language), static_cast<unsigned>(entry.codePage));
        TranslationText found;
        found.language = entry.language;
        found.codePage = entry.codePage;
        void* text = nullptr;
        UINT units = 0;
        if (VerQueryValueW(block, subBlock, &text, &units) && text) {
            const auto* value = static_cast<const wchar_t*>(text);
            found.found = true;
            found.text.assign(value, wcsnlen(value, units));
        }
        texts.push_back(std::move(found));
    }
    return texts;
}

const TranslationText* ChosenVersionText(const std::vector<TranslationText>& texts) {
    const TranslationText* chosen = nullptr;
    for (const TranslationText& entry : texts)
        if (entry.found) chosen = &entry;
    return chosen;
}

}  // namespace qelmo
