// The diagnostic log "log.txt" beside the server's program file: code page 1251 text, CR LF line
// ends on every build, emptied at start and appended to one entry at a time. The log never fails
// the program: a line it cannot write is dropped.
#pragma once

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/wide.h"
#include "platform/win.h"

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

namespace movra {

// Every text the server writes to the log, in code page 1251.
namespace logtext {
inline constexpr platform::Cp1251Text kRegistering{"Регистрация OPC-сервера в реестре Windows... "};
inline constexpr platform::Cp1251Text kUnregistering{
    "Отмена регистрации OPC-сервера в реестре Windows... "};
inline constexpr platform::Cp1251Text kOk{"Ok."};
inline constexpr platform::Cp1251Text kFailed{"Неудачно!"};
inline constexpr platform::Cp1251Text kError{"Ошибка!"};
inline constexpr platform::Cp1251Text kReadingConfiguration{
    "Чтение параметров конфигурации OPC-сервера... "};
inline constexpr platform::Cp1251Text kConfigurationError{"Ошибка при чтении файла конфигурации!"};
inline constexpr platform::Cp1251Text kServerEnds{"OPC-сервер завершает свою работу."};
inline constexpr platform::Cp1251Text kPollStart{"Обмен данными с вычислителями... "};
inline constexpr platform::Cp1251Text kWaitForMovraConnect{
    "\nОжидание завершения опроса программой MovraConnect... "};
inline constexpr platform::Cp1251Text kStoppedByClient{"Запрос остановлен клиентом!"};
inline constexpr platform::Cp1251Text kOutOfMemory{"Не хватает памяти. Запрос остановлен!"};
inline constexpr platform::Cp1251Text kNotAllAnswered{"Не все вычислители ответили на запрос!"};
inline constexpr platform::Cp1251Text kOnDataChangeCall{"Вызов функции OnDataChange"};
inline constexpr platform::Cp1251Text kOnReadCompleteCall{"Вызов функции OnReadComplete"};
inline constexpr platform::Cp1251Text kShuttingDown{"Завершение работы OPC-сервера... "};
// The pieces of the time line and of WriteClientGroup's entry.
inline constexpr platform::Cp1251Text kYearMark{"г.  "};
inline constexpr platform::Cp1251Text kClientPrefix{" (клиент: "};
inline constexpr platform::Cp1251Text kGroupPrefix{", группа: "};
inline constexpr platform::Cp1251Text kClientGroupEnd{")... "};
}  // namespace logtext

// Finds the names WriteClientGroup writes. The OPC layer installs one once its server objects
// exist; it is called without any lock of the log held.
class ClientGroupNames {
public:
    virtual ~ClientGroupNames() = default;
    // The clientName of the server object in clientSlot and the name of its group groupIndex;
    // false when the slot holds no live client or the index is not below its groupSlotCount.
    virtual bool clientGroupNames(DWORD clientSlot, DWORD groupIndex, platform::WString& clientName,
                                  platform::WString& groupName) = 0;
};

class CMovraLog {
public:
    // Wide texts are cut to this many bytes: the program's line buffer of 1004 bytes with room
    // for its terminating zero.
    static constexpr size_t kWideTextLimit = 1003;

    explicit CMovraLog(platform::Clock& clock);
    CMovraLog(const CMovraLog&) = delete;
    CMovraLog& operator=(const CMovraLog&) = delete;

    // Creates or empties "log.txt" in the folder of modulePath (up to its last '\' or '/'; the
    // current folder when it has neither). 1 on success; 0 when already open, when modulePath is
    // null or when the file cannot be created, and the log then stays off for the run.
    int Open(const char* modulePath);

    // One entry: with withTime a time line first, then the text, then lineEnds line ends. Each
    // '\n' in a text is written as a line end. 0 without writing while the log is off or the
    // text is null, else 1 (also when the line had to be dropped).
    int Write(const char* text, int lineEnds, int withTime) noexcept;
    // A UTF-16 text: when its first unit is below 256 each unit is one character (units beyond
    // 255 go through code page 1251); when it is 256 or more the units hold 8-bit characters two
    // at a time, low byte first, up to the first zero byte. Cut at kWideTextLimit bytes.
    int WriteWide(const WCHAR* text, int lineEnds, int withTime) noexcept;
    // A time-stamped entry "<text> (клиент: <client>, группа: <group>)... " without a line end,
    // so the caller's outcome follows on the same line. 0 and nothing written when no resolver is
    // installed or it does not know the slot or the group.
    int WriteClientGroup(const char* text, DWORD clientSlot, DWORD groupIndex) noexcept;
    // The same entry with the names given (by a caller that holds the locks the names are under).
    int WriteClientGroup(const char* text, const WCHAR* clientName,
                         const WCHAR* groupName) noexcept;

    // Installs (or with null removes) the resolver; the caller keeps it alive until it removes it.
    void setClientGroupNames(ClientGroupNames* names) noexcept;

    bool isOpen() const;
    std::string path() const;

    // The folder of modulePath (up to its last '\' or '/') followed by "log.txt".
    static std::string logPathFor(std::string_view modulePath);
    // The bytes WriteWide writes for a text, before line ends become CR LF.
    static std::string wideTextBytes(const WCHAR* text);

private:
    // Appends the entry to the file; the caller holds mutex.
    void appendLocked(std::string_view entry) noexcept;
    std::string timeLine();

    platform::Clock& clock;
    mutable std::mutex mutex;  // serialises writers; one entry is written whole under it
    std::string logPath;
    bool ready = false;
    std::atomic<ClientGroupNames*> names{nullptr};
};

// The process-wide log, created on first use and kept until the process ends.
CMovraLog& movraLog();

// The outcome line (two line ends, no time) of a pass that `failure` ended, for the catch (...)
// at the top of a thread: a lack of memory as kOutOfMemory, anything else as kError.
void writeExceptionOutcome(CMovraLog& log, std::exception_ptr failure) noexcept;

}  // namespace movra
