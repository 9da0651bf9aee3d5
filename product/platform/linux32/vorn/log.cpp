#include "log.h"

#include <cstdarg>

namespace vorn {

void openAgentLog()
{
    ::openlog("VORN", LOG_PERROR, LOG_DAEMON);
}

void closeAgentLog()
{
    ::closelog();
}

void logf(int priority, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    ::vsyslog(priority, format, ap);
    va_end(ap);
}

void logText(int priority, const char* text)
{
    ::syslog(priority, "%s", text);
}

} // namespace vorn
