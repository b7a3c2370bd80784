#pragma once
// Translation: the product's texts in the user's language. The texts written in the sources are
// the message ids of one GNU gettext catalogue ("dorvex"); a language without a catalogue, or an id
// without a translation, shows the source text.
//
// Nothing is translated until a front end calls useUserLanguage(), so that libraries and tests
// always see the source texts. The catalogue's ids are gathered from the calls below by name
// (i18n, i18np, i18nf, i18npf, i18nMark): keep the text a string literal in the call.

#include <filesystem>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace dorvex {

namespace Translation {

// Follows the user's language settings (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) for the product's
// texts from here on, with the catalogues in `localeFolder` (<folder>/<lang>/LC_MESSAGES/dorvex.mo).
// By default that is the folder share/locale beside the running program's own folder, which holds
// in the build tree and in an installation alike. Only the messages category of the C locale is
// set: numbers keep the C locale's form wherever they are parsed or written for machines.
// Loads the catalogue at once, so that a process may close its view of the file system after.
void useUserLanguage();
void useUserLanguage(const std::filesystem::path& localeFolder);

// The source texts from here on, in this process and in the processes it starts after (their
// environment names no language: LANGUAGE goes, LC_ALL is C.UTF-8): for output that machines read
// and that must be the same under every locale.
void useSourceLanguage();

// The language the product's texts are in now, as a locale name: the catalogue's own ("en") where
// one was found for the user's language, else the source texts' "zh_CN". Other parts of a program
// (a toolkit's own texts) follow it, so that one window never mixes two languages.
std::string language();

// Whether useUserLanguage() was called (and useSourceLanguage() not since). A module that carries its own copy of the engine (the
// video module) starts untranslated; the engine turns it on with followProcess().
bool isOn();
// Translates from here on with the language and catalogue the process already chose (gettext's
// state is the process's); for a module's copy of the engine, after the program called
// useUserLanguage().
void followProcess();

// The decimal mark of the user's numbers (LC_NUMERIC, read by useUserLanguage without changing
// the process's locale); "." before that, and in a module's copy of the engine. For numbers people read, never for machines.
const char* decimalMark();

}  // namespace Translation

// Marks a text for the catalogue where it is written down but shown elsewhere (a table of names):
// returns `id` as it is; show it with i18n().
constexpr const char* i18nMark(const char* id) { return id; }

// The text with the id `id` in the user's language.
const char* i18n(const char* id);
// The text for a count: `singular` or `plural` by the language's plural rule for `count`.
const char* i18np(const char* singular, const char* plural, unsigned long count);

// The translated text, with fmt's replacement fields ("{}") filled in.
template <typename... Args>
std::string i18nf(const char* id, Args&&... args) {
    return fmt::format(fmt::runtime(i18n(id)), std::forward<Args>(args)...);
}
template <typename... Args>
std::string i18npf(const char* singular, const char* plural, unsigned long count, Args&&... args) {
    return fmt::format(fmt::runtime(i18np(singular, plural, count)), std::forward<Args>(args)...);
}

}  // namespace dorvex
