#pragma once
// What a transaction's update block answers: the data to commit, or an
// abort.

#include <memory>

#include "database/api/QRVMutableData.h"

class QRVTransactionResult : public ns::Object {
public:
    // successWithValue:
    static std::shared_ptr<QRVTransactionResult> successWithValue(QRVMutableDataPtr value);
    // abort
    static std::shared_ptr<QRVTransactionResult> abort();

    bool isSuccess() const { return isSuccess_; }
    void setIsSuccess(bool isSuccess) { isSuccess_ = isSuccess; }
    const QRVMutableDataPtr& update() const { return update_; }
    void setUpdate(QRVMutableDataPtr update) { update_ = std::move(update); }

    std::string className() const override { return "QRVTransactionResult"; }

private:
    bool isSuccess_ = false;
    QRVMutableDataPtr update_;
};
