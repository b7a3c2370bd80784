#include "dorvex/text/Translation.h"

#include <langinfo.h>
#include <libintl.h>
#include <locale.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace dorvex {

namespace {

constexpr const char* domain = "dorvex";
std::atomic<bool> translating{false};
// Written before `translating` is set, read only after.
char userDecimalMark[8] = ".";

// The user's decimal mark, from a locale object of its own: the process's numbers stay in C.
void readDecimalMark() {
    const locale_t numbers = ::newlocale(LC_NUMERIC_MASK, "", locale_t(0));
    if (numbers == locale_t(0)) return;
    const char* mark = ::nl_langinfo_l(RADIXCHAR, numbers);
    if (mark != nullptr && *mark != '\0' && std::strlen(mark) < sizeof userDecimalMark) {
        std::strcpy(userDecimalMark, mark);
    }
    ::freelocale(numbers);
}

}  // namespace

namespace Translation {

void useUserLanguage() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    useUserLanguage(error ? std::filesystem::path("/usr/share/locale")
                          : program.parent_path().parent_path() / "share" / "locale");
}

void useUserLanguage(const std::filesystem::path& localeFolder) {
    // LC_CTYPE too: gettext converts the catalogue to the locale's character set otherwise
    // (UTF-8 texts under a C locale would come out as question marks).
    std::setlocale(LC_MESSAGES, "");
    std::setlocale(LC_CTYPE, "");
    ::bindtextdomain(domain, localeFolder.c_str());
    ::bind_textdomain_codeset(domain, "UTF-8");
    readDecimalMark();
    followProcess();
    // The empty id asks for the catalogue's header, which reads the file now.
    (void)::dgettext(domain, "");
}

void useSourceLanguage() {
    translating = false;
    ::unsetenv("LANGUAGE");
    ::setenv("LC_ALL", "C.UTF-8", 1);
}

std::string language() {
    if (translating) {
        // The catalogue's header names its language on a line "Language: en".
        const std::string_view header = ::dgettext(domain, "");
        constexpr std::string_view field = "Language: ";
        if (const std::size_t at = header.find(field); at != std::string_view::npos) {
            const std::size_t start = at + field.size();
            const std::string name(header.substr(start, header.find('\n', start) - start));
            if (!name.empty()) return name;
        }
    }
    return "zh_CN";
}

bool isOn() { return translating; }

// Reads no files: a worker's video module is loaded inside its sandbox.
void followProcess() { translating = true; }

const char* decimalMark() { return translating ? userDecimalMark : "."; }

}  // namespace Translation

const char* i18n(const char* id) { return translating ? ::dgettext(domain, id) : id; }

const char* i18np(const char* singular, const char* plural, unsigned long count) {
    if (translating) return ::dngettext(domain, singular, plural, count);
    return count == 1 ? singular : plural;
}

}  // namespace dorvex
