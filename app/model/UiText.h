#pragma once
// UiText: the application's texts in the user's language, as Qt strings. The ids are the source
// texts, gathered into the product's one catalogue by these names (see dorvex/text/Translation.h);
// fill in numbered places ("%1") with QString::arg.

#include <QString>

#include "dorvex/text/Translation.h"

namespace dorvex::app {

inline QString ui(const char* id) { return QString::fromUtf8(i18n(id)); }

// `singular` or `plural` by the language's plural rule for `count`.
inline QString uiPlural(const char* singular, const char* plural, unsigned long count) {
    return QString::fromUtf8(i18np(singular, plural, count));
}

}  // namespace dorvex::app
