#ifndef INSTALLER_PLATFORM_TRANSLATION_H_
#define INSTALLER_PLATFORM_TRANSLATION_H_

#include <cstddef>
#include <initializer_list>
#include <string>

/// Sets the whole locale from the environment (setlocale(LC_ALL, "")) and
/// chooses the catalog of the texts: the first of $LANGUAGE's languages, or
/// else the locale's, that the installer carries. English (the texts as
/// written) in the C locale, in a locale that is not UTF-8, and for any
/// language without a catalog. Call once, at start, before any thread.
void useUserLocale();

/// `text` in the chosen language; `text` itself without a translation. The
/// result lives as long as the process. Reads memory only, so a signal
/// handler may call it.
const char* tr(const char* text);

/// Marks a text for translation where it is defined, away from the `tr`
/// that translates it where it is used.
#define N_(text) text

/// `text` with "{1}" ... "{9}" replaced by the values in order; a
/// translation may place them in another order.
std::string fill(const std::string& text, std::initializer_list<std::string> values);

/// A catalog carried inside the executable: a .mo file's bytes.
struct EmbeddedCatalog {
  const char* language;  ///< "de", "fr", or with a territory, "pt_BR"
  const char* begin;
  const char* end;
};
/// The build's catalogs (generated with them).
extern const EmbeddedCatalog embeddedCatalogs[];
extern const size_t embeddedCatalogCount;

#endif  // INSTALLER_PLATFORM_TRANSLATION_H_
