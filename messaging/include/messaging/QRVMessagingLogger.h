#pragma once
// Messaging's logger. Every messaging line is written through the five level
// operations (QRVMessagingLoggerDebug ... QRVMessagingLoggerError), which hand
// the line to the core logger with the service tag "[Quorvane/Messaging]" and
// the code "I-QDX" followed by six digits; whether it is written is the core
// logger's decision. Any thread may log.
//
// The logger also keeps its own route (formatter -> filter -> writer) for
// lines that do not go through the core: nothing in messaging sends one, but
// the facade sets the filter's level from its configuration, so the route is
// kept whole. Each step of that route swallows what it throws, so logging
// never fails a caller.

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/QRVLogger.h"
#include "platform/date_formatter.h"

// Levels of the logger's own route.
enum QRVMessagingLogLevel : int8_t {
    QRVMessagingLogLevelDebug = 0,
    QRVMessagingLogLevelInfo = 1,
    QRVMessagingLogLevelWarning = 2,
    QRVMessagingLogLevelError = 3,
};

// Turns a call into one line; an empty result drops the line.
class QRVMessagingLogFormatter {
public:
    virtual ~QRVMessagingLogFormatter() = default;
    virtual std::string stringForFunc(const char* func, const char* format, std::span<const ns::FormatArg> args,
                                      QRVMessagingLogLevel level) = 0;
};

class QRVMessagingLogFilter {
public:
    virtual ~QRVMessagingLogFilter() = default;
    virtual bool filterAllowsMessage(const std::string& message, QRVMessagingLogLevel level) = 0;
};

class QRVMessagingLogWriter {
public:
    virtual ~QRVMessagingLogWriter() = default;
    virtual void logMessage(const std::string& message, QRVMessagingLogLevel level) = 0;
};

// "%@: <%@/%@> %@": the date ("yyyy-MM-dd HH:mm:ss.SSS"), "QRVMessaging", the
// level word and the formatted message; nothing unless both the function
// name and the format are given.
class QRVMessagingLogStandardFormatter : public QRVMessagingLogFormatter {
public:
    QRVMessagingLogStandardFormatter();
    std::string stringForFunc(const char* func, const char* format, std::span<const ns::FormatArg> args,
                              QRVMessagingLogLevel level) override;
    // "DEBUG", "INFO", "WARNING", "ERROR"; any other level reads "INFO".
    static const char* levelWord(int level);

private:
    ns::DateFormatter dateFormatter_;
};

// Keeps a level but lets every line through.
class QRVMessagingLogLevelFilter : public QRVMessagingLogFilter {
public:
    QRVMessagingLogLevelFilter() = default;
    bool filterAllowsMessage(const std::string& message, QRVMessagingLogLevel level) override;
    int8_t level() const { return level_; }
    void setLevel(int8_t level) { level_ = level; }

private:
    int8_t level_ = 0;
};

// Writes "<line>\n" to a file descriptor (standard output for the shared
// logger) under a lock, so lines from several threads never interleave.
class QRVMessagingFileHandleLogWriter : public QRVMessagingLogWriter {
public:
    explicit QRVMessagingFileHandleLogWriter(int fileDescriptor) : fd_(fileDescriptor) {}
    void logMessage(const std::string& message, QRVMessagingLogLevel level) override;

private:
    int fd_;
    std::mutex lock_;
};

class QRVMessagingLogger {
public:
    QRVMessagingLogger(std::shared_ptr<QRVMessagingLogFilter> filter,
                       std::shared_ptr<QRVMessagingLogFormatter> formatter,
                       std::shared_ptr<QRVMessagingLogWriter> writer);
    // A level filter at 0, the standard formatter and standard output.
    static std::shared_ptr<QRVMessagingLogger> standardLogger();

    // "I-QDX%06ld": 2000 gives "I-QDX002000".
    static std::string formatMessageCode(long code);

    // The level is checked before the message code is formatted: the channel
    // writes several debug lines per message.
    template <class... A>
    void logFuncDebug(const char*, long code, std::string_view format, const A&... args) {
        log(QRVLoggerLevelDebug, code, format, args...);
    }
    template <class... A>
    void logFuncInfo(const char*, long code, std::string_view format, const A&... args) {
        log(QRVLoggerLevelInfo, code, format, args...);
    }
    template <class... A>
    void logFuncNotice(const char*, long code, std::string_view format, const A&... args) {
        log(QRVLoggerLevelNotice, code, format, args...);
    }
    template <class... A>
    void logFuncWarning(const char*, long code, std::string_view format, const A&... args) {
        log(QRVLoggerLevelWarning, code, format, args...);
    }
    template <class... A>
    void logFuncError(const char*, long code, std::string_view format, const A&... args) {
        log(QRVLoggerLevelError, code, format, args...);
    }

    // The logger's own route; every step's exceptions are swallowed.
    void logInternalFunc(const char* func, const char* format, std::span<const ns::FormatArg> args,
                         QRVMessagingLogLevel level);

    const std::shared_ptr<QRVMessagingLogFilter>& filter() const { return filter_; }
    void setFilter(std::shared_ptr<QRVMessagingLogFilter> filter) { filter_ = std::move(filter); }
    const std::shared_ptr<QRVMessagingLogFormatter>& formatter() const { return formatter_; }
    const std::shared_ptr<QRVMessagingLogWriter>& writer() const { return writer_; }

private:
    template <class... A>
    static void log(QRVLoggerLevel level, long code, std::string_view format, const A&... args) {
        if (!QRVIsLoggableLevel(level, false)) return;
        QRVLogBasic(level, kQRVLoggerMessaging, formatMessageCode(code), format, args...);
    }

    std::shared_ptr<QRVMessagingLogFilter> filter_;
    std::shared_ptr<QRVMessagingLogFormatter> formatter_;
    std::shared_ptr<QRVMessagingLogWriter> writer_;
};

// The shared logger, made once.
QRVMessagingLogger& QRVMessagingSharedLogger();

#define QRVMessagingLoggerDebug(code, ...) QRVMessagingSharedLogger().logFuncDebug(__func__, code, __VA_ARGS__)
#define QRVMessagingLoggerInfo(code, ...) QRVMessagingSharedLogger().logFuncInfo(__func__, code, __VA_ARGS__)
#define QRVMessagingLoggerNotice(code, ...) QRVMessagingSharedLogger().logFuncNotice(__func__, code, __VA_ARGS__)
#define QRVMessagingLoggerWarning(code, ...) QRVMessagingSharedLogger().logFuncWarning(__func__, code, __VA_ARGS__)
#define QRVMessagingLoggerError(code, ...) QRVMessagingSharedLogger().logFuncError(__func__, code, __VA_ARGS__)
