#include "sdk/inspect/elf_file.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>

bool IsSharedObjectForThisMachine(const std::string& path) {
    ElfW(Ehdr) header{};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) return false;
    // This program's own header is mapped at its base: compare with what runs here, which
    // under an emulator is the emulated machine.
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&IsSharedObjectForThisMachine), &self) == 0) return false;
    const auto* own = static_cast<const ElfW(Ehdr)*>(self.dli_fbase);
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_type == ET_DYN &&
           header.e_ident[EI_CLASS] == own->e_ident[EI_CLASS] &&
           header.e_ident[EI_DATA] == own->e_ident[EI_DATA] && header.e_machine == own->e_machine;
}
