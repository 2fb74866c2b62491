// The installer's own lookup of its translations. glibc's gettext reads
// catalogs only from files, and the installer must speak the user's language
// with nothing installed, down to "Installation failed.", printed after the
// run's working directory is gone. So the catalogs (msgfmt's .mo files) are
// carried inside the executable, and a text is found in them by binary
// search, as gettext would: msgfmt sorts the original texts.
//
// The language is chosen the way gettext chooses it: nothing but English in
// the C locale, else $LANGUAGE's list or the locale's name, "de_DE" before
// "de". The catalogs are UTF-8, so a locale of another character set gets
// English rather than bytes it cannot show.
#include "platform/translation.h"

#include <langinfo.h>
#include <locale.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const uint32_t kMoMagic = 0x950412de;

struct Catalog {
  const char* data = nullptr;
  size_t size = 0;
};

Catalog chosen;

uint32_t word(const Catalog& catalog, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= catalog.size)
    memcpy(&value, catalog.data + offset, 4);
  return value;
}

// The string at table entry `index` (length, offset), or null when it does
// not lie within the catalog or is not terminated.
const char* entry(const Catalog& catalog, uint32_t table, uint32_t index) {
  size_t at = static_cast<size_t>(table) + static_cast<size_t>(index) * 8;
  size_t length = word(catalog, at);
  size_t offset = word(catalog, at + 4);
  if (offset >= catalog.size || length >= catalog.size - offset ||
      catalog.data[offset + length] != '\0')
    return nullptr;
  return catalog.data + offset;
}

bool findCatalog(const std::string& language) {
  for (size_t i = 0; i < embeddedCatalogCount; ++i) {
    const EmbeddedCatalog& embedded = embeddedCatalogs[i];
    if (language != embedded.language)
      continue;
    Catalog catalog{embedded.begin, static_cast<size_t>(embedded.end - embedded.begin)};
    if (word(catalog, 0) != kMoMagic)
      return false;  // a catalog of another byte order is not built here
    chosen = catalog;
    return true;
  }
  return false;
}

bool isCLocale(const char* name) {
  return name == nullptr || strcmp(name, "C") == 0 || strcmp(name, "POSIX") == 0 ||
         strncmp(name, "C.", 2) == 0;
}

}  // namespace

void useUserLocale() {
  setlocale(LC_ALL, "");
  chosen = Catalog();
  const char* messages = setlocale(LC_MESSAGES, nullptr);
  if (isCLocale(messages) || strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    return;
  const char* preferred = getenv("LANGUAGE");
  std::string wanted = preferred != nullptr && *preferred != '\0' ? preferred : messages;
  size_t start = 0;
  while (start <= wanted.size()) {
    size_t end = wanted.find(':', start);
    if (end == std::string::npos)
      end = wanted.size();
    std::string name = wanted.substr(start, end - start);
    name = name.substr(0, name.find_first_of(".@"));
    if (!name.empty() && (findCatalog(name) || findCatalog(name.substr(0, name.find('_')))))
      return;
    start = end + 1;
  }
}

const char* tr(const char* text) {
  if (chosen.data == nullptr || text == nullptr || *text == '\0')
    return text;
  uint32_t count = word(chosen, 8);
  uint32_t originals = word(chosen, 12);
  uint32_t translations = word(chosen, 16);
  uint32_t low = 0;
  uint32_t high = count;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    const char* original = entry(chosen, originals, middle);
    if (original == nullptr)
      return text;
    int order = strcmp(text, original);
    if (order == 0) {
      const char* translation = entry(chosen, translations, middle);
      return translation != nullptr && *translation != '\0' ? translation : text;
    }
    if (order < 0)
      high = middle;
    else
      low = middle + 1;
  }
  return text;
}

std::string fill(const std::string& text, std::initializer_list<std::string> values) {
  std::string filled;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 2 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9' &&
        text[i + 2] == '}') {
      size_t index = static_cast<size_t>(text[i + 1] - '1');
      if (index < values.size()) {
        filled += values.begin()[index];
        i += 2;
        continue;
      }
    }
    filled += text[i];
  }
  return filled;
}
