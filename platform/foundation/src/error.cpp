#include "platform/error.h"

#include "platform/format.h"
#include "platform/system_language.h"

namespace ns {

Error::Error(std::string domain, long code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

ErrorRef Error::make(std::string domain, long code, Dictionary userInfo) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
}

ErrorRef Error::make(std::string domain, long code, const std::string& description,
                     const std::string& failureReason, ErrorRef underlying) {
    Dictionary info;
    if (!description.empty()) info[kLocalizedDescriptionKey] = description;
    if (!failureReason.empty()) info[kLocalizedFailureReasonErrorKey] = failureReason;
    if (underlying) info[kUnderlyingErrorKey] = Value(std::const_pointer_cast<Error>(underlying));
    return make(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
    auto it = userInfo_.find(kLocalizedDescriptionKey);
    if (it != userInfo_.end() && it->second.isString()) return it->second.asString();
    // Foundation's generic wording, in the phone's language.
    if (systemLanguage() == SystemLanguage::Spanish) {
        return format("No se ha podido completar la operación. (Error %ld de %@.)", code_, domain_);
    }
    return format("The operation couldn\u2019t be completed. (%@ error %ld.)", domain_, code_);
}

std::string Error::localizedFailureReason() const {
    auto it = userInfo_.find(kLocalizedFailureReasonErrorKey);
    if (it != userInfo_.end() && it->second.isString()) return it->second.asString();
    return {};
}

ErrorRef Error::underlyingError() const {
    auto it = userInfo_.find(kUnderlyingErrorKey);
    if (it == userInfo_.end()) return nullptr;
    return it->second.asObjectOf<Error>();
}

std::string Error::description() const {
    std::string out = format("Error Domain=%@ Code=%ld \"%@\"", domain_, code_, localizedDescription());
    if (!userInfo_.empty()) out += " UserInfo=" + Value(userInfo_).description();
    return out;
}

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : std::runtime_error(name + ": " + reason),
      name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)) {}

void Exception::raise(std::string name, std::string reason) {
    throw Exception(std::move(name), std::move(reason));
}

}  // namespace ns
