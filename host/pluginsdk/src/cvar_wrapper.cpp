#include "bakkesmod/wrappers/cvarwrapper.h"

#include "pluginsdk/cvar_registry.h"

CVarWrapper::CVarWrapper(CVarRecord* record) noexcept : record_(record) {
    if (record_ != nullptr) {
        record_->owner.handleOpened();
    }
}

CVarWrapper::CVarWrapper(const CVarWrapper& other) noexcept : CVarWrapper(other.record_) {}

CVarWrapper& CVarWrapper::operator=(const CVarWrapper& other) noexcept {
    if (this != &other) {
        CVarWrapper copy(other);
        std::swap(record_, copy.record_);
    }
    return *this;
}

CVarWrapper::~CVarWrapper() {
    if (record_ == nullptr) {
        return;
    }
    record_->owner.record(SdkOperation::ReleaseCvar, record_, {});
    record_->owner.handleClosed();
}

void CVarWrapper::setValue(std::string value) {
    if (record_ == nullptr) {
        return;
    }
    record_->owner.record(SdkOperation::SetValue, record_, value);
    record_->owner.throwIfArmed(SdkOperation::SetValue);
    record_->value = std::move(value);
}

std::string CVarWrapper::getStringValue() const {
    return record_ != nullptr ? record_->value : std::string();
}

std::string CVarWrapper::getName() const {
    return record_ != nullptr ? record_->name : std::string();
}

bool CVarWrapper::isNull() const noexcept {
    return record_ == nullptr;
}
