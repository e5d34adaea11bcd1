#include "app/command_line.h"

#include <cstring>

#include "settings/text_value.h"

namespace {

enum class KeywordKind { kProtocol, kDebugSelector };

struct Keyword {
  const char* word;
  KeywordKind kind;
};

const Keyword kKeywords[] = {
    {"SPX", KeywordKind::kProtocol},
    {"TCPIP", KeywordKind::kProtocol},
    {"DEBUGMSG", KeywordKind::kDebugSelector},
};

// Only ASCII a to z change; every other byte stays as it is.
void UpperCaseAscii(char* word) {
  for (; *word != '\0'; ++word) {
    if (*word >= 'a' && *word <= 'z') *word = static_cast<char>(*word - 'a' + 'A');
  }
}

const Keyword* FindKeyword(const char* word) {
  for (const Keyword& keyword : kKeywords) {
    if (strcmp(word, keyword.word) == 0) return &keyword;
  }
  return nullptr;
}

}  // namespace

const char* ScanCommandLine(int argc, char** argv, RunSettings* settings) {
  for (int i = 1; i < argc; ++i) {
    char* word = argv[i];
    UpperCaseAscii(word);
    const Keyword* keyword = FindKeyword(word);
    if (keyword == nullptr) return word;
    if (keyword->kind == KeywordKind::kProtocol) {
      if (!AppendProtocol(&settings->protocol_list, word)) return word;
      continue;
    }
    settings->debug_requested = true;
    if (i + 1 == argc) continue;
    char* value = argv[++i];
    // A value that could not be read back is refused like any bad word.
    if (strlen(value) >= sizeof(ValueBuffer)) {
      UpperCaseAscii(value);
      return value;
    }
    settings->debug_value = value;
  }
  return nullptr;
}
