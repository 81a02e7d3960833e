#pragma once
// Detours of system functions for tests that must see or steer what a system call does.
#include <windows.h>

#include <cstdint>
#include <cstring>

// While it lives, a system function's code jumps to a function of the test instead, for what a
// test cannot read back from the system (what Wine's DwmSetWindowAttribute was passed) or cannot
// make it do (refuse a registry deletion, count its process snapshots).
class code_detour {
public:
    code_detour(HMODULE module, const char* name, const void* replacement) {
        target_ = module == nullptr ? nullptr : reinterpret_cast<unsigned char*>(GetProcAddress(module, name));
        if (target_ == nullptr) return;
        // mov rax, replacement; jmp rax
        unsigned char jump[sizeof saved_] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
        const auto address = reinterpret_cast<std::uintptr_t>(replacement);
        std::memcpy(jump + 2, &address, sizeof address);
        std::memcpy(saved_, target_, sizeof saved_);
        patched_ = write(jump);
    }
    ~code_detour() {
        if (patched_) write(saved_);
    }
    code_detour(const code_detour&) = delete;
    code_detour& operator=(const code_detour&) = delete;
    bool active() const { return patched_; }

private:
    bool write(const unsigned char* code) {
        DWORD old = 0;
        if (!VirtualProtect(target_, sizeof saved_, PAGE_EXECUTE_READWRITE, &old)) return false;
        std::memcpy(target_, code, sizeof saved_);
        VirtualProtect(target_, sizeof saved_, old, &old);
        FlushInstructionCache(GetCurrentProcess(), target_, sizeof saved_);
        return true;
    }
    unsigned char* target_ = nullptr;
    unsigned char saved_[12] = {};
    bool patched_ = false;
};
