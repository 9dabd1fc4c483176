// Whether a file is something the dynamic loader of this machine could map at all.
#pragma once

#include <string>

// True for an ELF shared object of this program's class, byte order and machine, whatever it
// may then fail to resolve.
bool IsSharedObjectForThisMachine(const std::string& path);
