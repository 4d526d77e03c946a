#include "database/api/QRVTransactionResult.h"

std::shared_ptr<QRVTransactionResult> QRVTransactionResult::successWithValue(QRVMutableDataPtr value) {
    auto result = std::make_shared<QRVTransactionResult>();
    result->setIsSuccess(true);
    result->setUpdate(std::move(value));
    return result;
}

std::shared_ptr<QRVTransactionResult> QRVTransactionResult::abort() {
    return std::make_shared<QRVTransactionResult>();
}
