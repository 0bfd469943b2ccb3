#pragma once

#include <string>

#include "bakkesmod/export.h"

class CVarRecord;

// A by-value handle to one registered console variable. It names the variable
// but does not own it: the variable lives on in the host after the handle is
// gone. A handle obtained for a name nobody registered is null; writing through
// it changes nothing.
class PLUGINSDK_API CVarWrapper {
public:
    explicit CVarWrapper(CVarRecord* record) noexcept;
    CVarWrapper(const CVarWrapper& other) noexcept;
    CVarWrapper& operator=(const CVarWrapper& other) noexcept;
    ~CVarWrapper();

    void setValue(std::string value);
    std::string getStringValue() const;
    std::string getName() const;
    bool isNull() const noexcept;

private:
    CVarRecord* record_;
};

// The host hands these out by value; plugins rely on the handle being no wider
// than a pointer.
static_assert(sizeof(CVarWrapper) == sizeof(void*), "CVarWrapper must be pointer-sized");

#if defined(_MSVC_STL_VERSION)
// Texts cross to the host's SDK library by value in the MSVC layout: a
// 16-byte buffer or pointer, then the size and the capacity.
static_assert(sizeof(std::string) == 32 && alignof(std::string) == 8);
#endif
