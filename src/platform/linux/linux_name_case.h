#pragma once
#include <cstdio>
#include <string>

// Package files whatever the case of their names: a package unpacked from a Windows archive
// often carries "s0814001.122" where the program asks for "S0814001.122", and Windows would
// find it.

// The name to open for `name`: `name` itself when it exists (or cannot be looked up), else the
// one entry of its folder whose name equals its last component when case is ignored. When two
// or more entries match, none is taken (the open then fails as for a missing file) and the
// candidates are named on `report`.
std::string NameIgnoringCase(const char* name, std::FILE* report = stderr);
