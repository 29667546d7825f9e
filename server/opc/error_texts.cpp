#include "server/opc/error_texts.h"

#include <algorithm>
#include <iterator>

namespace movra {

namespace {

struct ErrorText {
    DWORD code;
    const char* text;
};

// The texts are kept as clients have always received them, spelling included.
constexpr ErrorText kErrorTexts[] = {
    {0x00000000, "The operation successed."},
    {0x00000001, "The operation partially successed."},
    {0x0004000D,
     "The server does not support the requested data rate but will use the closest available "
     "rate."},
    {0x0004000E, "A value passed to write was accepted but the output was clamped."},
    {0x0004000F, "The operation cannot be performed because the object is bering referenced."},
    {0x00040404, "Some value transitions were lost."},
    {0x0004040B, "The item value is empty because the data filter has excluded all fields."},
    {0x80004001, "The requested method is not implemented."},
    {0x80004002, "No such interface is supported."},
    {0x80004003, "Invalid pointer."},
    {0x80004004, "Operation aborted."},
    {0x80004005, "The operation failed."},
    {0x8000FFFF, "Catastrophic failure."},
    {0x80040200, "The specified CONNECTION is not a valid connection."},
    {0x80040202, "The SINK does not support the interface required by this connection point."},
    {0x80070005, "Access denied."},
    {0x80070006, "Invalid handle."},
    {0x8007000E, "Not enough memory."},
    {0x80070057, "One or more arguments are invalid."},
    {0x800706F4, "A null reference pointer was passed to the stub."},
    {0xC0040001, "The value of the handle is invalid."},
    {0xC0040004,
     "The server cannot convert the data between the requested data type and the canonical data "
     "type."},
    {0xC0040005, "The requested operation cannot be done on a public group."},
    {0xC0040006, "The item's access rights do not allow the operation."},
    {0xC0040007,
     "The item ID is not defined in the server address space or no longer exists in the server "
     "address space."},
    {0xC0040008, "The item ID does not conform to the server's syntax."},
    {0xC0040009, "The filter string was not valid."},
    {0xC004000A, "The item's access path is not known to the server."},
    {0xC004000B, "The value was out of range."},
    {0xC004000C, "Duplicate name not allowed."},
    {0xC0040010, "The server's configuration file is an invalid format."},
    {0xC0040011, "The requested object was not found."},
    {0xC0040203, "The specified property ID is not valid for the item."},
    {0xC0040400, "The item deadband has not been set for this item."},
    {0xC0040401, "The item does not support deadband."},
    {0xC0040402,
     "The server does not support buffering of data items that are collected at a faster rate "
     "than the group update rate."},
    {0xC0040403, "The continuation point is not valid."},
    {0xC0040405, "Server does not support requested rate."},
    {0xC0040406, "The server does not support writing of quality and/or timestamp."},
    {0xC0040407, "The dictionary and/or type description for the item has changed."},
    {0xC0040408, "A data filter item with the specified name already exists."},
    {0xC0040409, "The data filter value does not conform to the server's syntax."},
    {0xC004040A, "An error occurred when the filter value was applied to the source data."},
};

}  // namespace

bool IsAvailableLocale(LCID locale) {
    return std::find(std::begin(kAvailableLocales), std::end(kAvailableLocales), locale) !=
           std::end(kAvailableLocales);
}

const char* OpcErrorText(HRESULT code) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == static_cast<DWORD>(code)) {
            return entry.text;
        }
    }
    return "Unknown error code.";
}

}  // namespace movra
