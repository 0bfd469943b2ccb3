#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

#include "pluginsdk/cvar_registry.h"

CVarManagerWrapper::CVarManagerWrapper() : registry_(new CVarRegistry()) {}

CVarManagerWrapper::~CVarManagerWrapper() {
    delete registry_;
}

CVarWrapper CVarManagerWrapper::registerCvar(std::string name, std::string defaultValue) {
    return CVarWrapper(&registry_->add(std::move(name), std::move(defaultValue)));
}

CVarWrapper CVarManagerWrapper::getCvar(std::string name) {
    CVarRecord* record = registry_->find(name);
    registry_->record(SdkOperation::GetCvar, record, name);
    registry_->throwIfArmed(SdkOperation::GetCvar);
    return CVarWrapper(record);
}

std::vector<std::string> CVarManagerWrapper::listCvars() const {
    return registry_->names();
}
