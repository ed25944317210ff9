// The file-version text of a version resource, read the way the module deployment reads it to
// name a module's version folder. Logic only: the caller reads the block (GetFileVersionInfoW) and
// writes any log lines, so qelmoctl uses the same rule without the plug-in's logging.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qelmo {

// One entry of a version block's translation table and what its string table holds as
// "Fileversion".
struct TranslationText {
    WORD language = 0;
    WORD codePage = 0;
    bool found = false;  // the query found the value
    std::wstring text;   // the value up to its first NUL or its reported length
};

// Every entry of `block`'s translation table, in table order; empty when the block has no table
// or an empty one.
std::vector<TranslationText> FileVersionTexts(const void* block);
// The text a module's folder is named by: the last entry whose query found one (a failed query
// never replaces a text found before). Null when no entry found one.
const TranslationText* ChosenVersionText(const std::vector<TranslationText>& texts);

}  // namespace qelmo
