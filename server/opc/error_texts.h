// The English texts of the result codes a client may ask about, and the locales the server offers.
#pragma once

#include "platform/win.h"

namespace movra {

// The same texts serve every offered locale; LOCALE_SYSTEM_DEFAULT and LOCALE_USER_DEFAULT among
// them.
inline constexpr LCID kAvailableLocales[] = {0, 9, 2048, 1024, 1033, 1049, 25};

bool IsAvailableLocale(LCID locale);

// Never null: codes outside the table give "Unknown error code.".
const char* OpcErrorText(HRESULT code);

}  // namespace movra
