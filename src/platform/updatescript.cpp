// The self-update batch text, shared by both implementations so it is checked on any machine
// and run for real under cmd.exe.
#include "platform/platform.h"

namespace platform {

namespace {

// A name the script can spell in any console code page: printable ASCII without the quote
// (which Windows forbids in file names anyway); '%' is doubled, or cmd.exe would expand it.
bool batchName(const std::string &name, std::string &escaped)
{
    if (name.empty())
        return false;
    escaped.clear();
    for (const char c : name) {
        if (c < 0x20 || c > 0x7e || c == '"')
            return false;
        escaped += c;
        if (c == '%')
            escaped += '%';
    }
    return true;
}

void replaceAll(std::string &text, const std::string &placeholder, const std::string &value)
{
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

} // namespace

std::string batchUpdateScript(std::int64_t pid, const std::string &exeName,
                              const std::string &newExeName)
{
    std::string exe;
    std::string newExe;
    if (pid <= 0 || !batchName(exeName, exe) || !batchName(newExeName, newExe))
        return std::string();

    static const char *const lines[] = {
        "@echo off",
        "echo Updating launcher...",
        ":wait",
        "tasklist /FI \"PID eq {pid}\" 2>NUL | find \"{pid}\" >NUL",
        "if not errorlevel 1 (",
        "    timeout /t 1 /nobreak >NUL",
        "    goto wait",
        ")",
        "move /Y \"{exe}\" \"{exe}.old\" >NUL",
        "move /Y \"{new}\" \"{exe}\" >NUL",
        "start \"\" \"{exe}\"",
        "del \"{script}\"",
    };
    std::string script;
    for (const char *line : lines)
        script.append(line).append("\r\n");
    // "%~dp0" is the script's folder with its trailing backslash and "%~f0" the script itself,
    // both taken from the Unicode command line.
    replaceAll(script, "{pid}", std::to_string(pid));
    replaceAll(script, "{exe}", "%~dp0" + exe);
    replaceAll(script, "{new}", "%~dp0" + newExe);
    replaceAll(script, "{script}", "%~f0");
    return script;
}

} // namespace platform
