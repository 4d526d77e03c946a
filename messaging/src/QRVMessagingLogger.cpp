#include "messaging/QRVMessagingLogger.h"

#include <unistd.h>

#include <mutex>

#include "platform/clock.h"
#include "platform/format.h"

QRVMessagingLogStandardFormatter::QRVMessagingLogStandardFormatter() : dateFormatter_("yyyy-MM-dd HH:mm:ss.SSS") {}

const char* QRVMessagingLogStandardFormatter::levelWord(int level) {
    switch (level) {
        case QRVMessagingLogLevelDebug: return "DEBUG";
        case QRVMessagingLogLevelWarning: return "WARNING";
        case QRVMessagingLogLevelError: return "ERROR";
        default: return "INFO";
    }
}

std::string QRVMessagingLogStandardFormatter::stringForFunc(const char* func, const char* format,
                                                            std::span<const ns::FormatArg> args,
                                                            QRVMessagingLogLevel level) {
    if (!func || !format) return {};
    const std::string message = ns::vformat(format, args);
    const std::string date = dateFormatter_.stringFromDate(ns::Date{ns::Clock::nowSeconds()});
    return ns::format("%@: <%@/%@> %@", date, "QRVMessaging", levelWord(level), message);
}

bool QRVMessagingLogLevelFilter::filterAllowsMessage(const std::string&, QRVMessagingLogLevel) { return true; }

void QRVMessagingFileHandleLogWriter::logMessage(const std::string& message, QRVMessagingLogLevel) {
    try {
        const std::string line = message + "\n";
        std::lock_guard<std::mutex> hold(lock_);
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
    } catch (...) {
        // A log line is never worth failing the caller.
    }
}

QRVMessagingLogger::QRVMessagingLogger(std::shared_ptr<QRVMessagingLogFilter> filter,
                                       std::shared_ptr<QRVMessagingLogFormatter> formatter,
                                       std::shared_ptr<QRVMessagingLogWriter> writer)
    : filter_(std::move(filter)), formatter_(std::move(formatter)), writer_(std::move(writer)) {}

std::shared_ptr<QRVMessagingLogger> QRVMessagingLogger::standardLogger() {
    return std::make_shared<QRVMessagingLogger>(std::make_shared<QRVMessagingLogLevelFilter>(),
                                                std::make_shared<QRVMessagingLogStandardFormatter>(),
                                                std::make_shared<QRVMessagingFileHandleLogWriter>(STDOUT_FILENO));
}

std::string QRVMessagingLogger::formatMessageCode(long code) { return ns::format("I-QDX%06ld", code); }

void QRVMessagingLogger::logInternalFunc(const char* func, const char* format, std::span<const ns::FormatArg> args,
                                         QRVMessagingLogLevel level) {
    std::string line;
    try {
        if (formatter_) line = formatter_->stringForFunc(func, format, args, level);
    } catch (...) {
        return;
    }
    if (line.empty()) return;
    try {
        if (filter_ && !filter_->filterAllowsMessage(line, level)) return;
    } catch (...) {
        return;
    }
    try {
        if (writer_) writer_->logMessage(line, level);
    } catch (...) {
    }
}

QRVMessagingLogger& QRVMessagingSharedLogger() {
    // Made once and never freed: threads may log while the process exits.
    static QRVMessagingLogger* logger = new QRVMessagingLogger(*QRVMessagingLogger::standardLogger());
    return *logger;
}
