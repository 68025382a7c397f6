#include "support/TestArgv.h"

Argv::Argv(std::initializer_list<std::wstring> args)
    : Argv(std::vector<std::wstring>(args.begin(), args.end())) {}

Argv::Argv(const std::vector<std::wstring>& args) : m_args{L"/opt/product/updater"} {
    m_args.insert(m_args.end(), args.begin(), args.end());
    for (const std::wstring& a : m_args) m_ptrs.push_back(a.c_str());
    m_ptrs.push_back(nullptr);
}
