#pragma once
// Security attributes built from a descriptor in SDDL text, owning the
// converted descriptor. Header-only: clients of the channel use it too.
#include <windows.h>
#include <sddl.h>

#include "platform/Handles.h"

class CSddlSecurity
{
public:
    // False with the last-error value of the conversion.
    bool Build(const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            return false;
        m_descriptor.Reset(descriptor);
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = descriptor;
        m_attributes.bInheritHandle = FALSE;
        return true;
    }
    SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }

private:
    CLocalMemory m_descriptor;
    SECURITY_ATTRIBUTES m_attributes{};
};
