#include <strings.h>

#include <cstring>

#include "pc/sim_pc.h"
#include "platform/platform_host.h"

// The simulated PC's operating system version and registry.

bool PlatformGetVersionEx(OsVersion* version) {
    if (version->dwOSVersionInfoSize != OSVERSIONINFOA_SIZE) return false;
    version->dwPlatformId = Sim.OsPlatformId;
    version->dwMajorVersion = Sim.OsMajor;
    version->dwMinorVersion = Sim.OsMinor;
    return true;
}

namespace {

bool SamePath(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

int FindKey(intptr_t root, const std::string& path) {
    for (size_t i = 0; i < Sim.Registry.size(); ++i) {
        if (Sim.Registry[i].Root == root && SamePath(Sim.Registry[i].Path, path)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int AddKey(intptr_t root, const std::string& path) {
    const int found = FindKey(root, path);
    if (found >= 0) return found;
    const size_t slash = path.rfind('\\');
    if (slash != std::string::npos) AddKey(root, path.substr(0, slash));
    Sim.Registry.push_back({root, path, {}});
    return static_cast<int>(Sim.Registry.size() - 1);
}

// The key behind an open handle, or -1.
int KeyOf(RegistryKey handle) {
    const intptr_t slot = handle - SimRegistryHandleBase;
    if (slot < 0 || slot >= static_cast<intptr_t>(Sim.RegistryHandles.size())) return -1;
    return Sim.RegistryHandles[static_cast<size_t>(slot)];
}

bool Injected(SimRegCall call, const std::string& path, int index, uint32_t* error) {
    for (const SimRegistryFailure& f : Sim.RegistryFailures) {
        if (f.Call != call) continue;
        if (!f.Path.empty() && !SamePath(f.Path, path)) continue;
        if (f.Index >= 0 && f.Index != index) continue;
        *error = f.Error;
        return true;
    }
    return false;
}

// The direct subkeys of a key, in the order they were added.
std::vector<int> SubkeysOf(int key) {
    std::vector<int> subkeys;
    const SimRegistryKey& parent = Sim.Registry[static_cast<size_t>(key)];
    const std::string prefix = parent.Path + "\\";
    for (size_t i = 0; i < Sim.Registry.size(); ++i) {
        const SimRegistryKey& k = Sim.Registry[i];
        if (k.Root != parent.Root || k.Path.size() <= prefix.size()) continue;
        if (strncasecmp(k.Path.c_str(), prefix.c_str(), prefix.size()) != 0) continue;
        if (k.Path.find('\\', prefix.size()) != std::string::npos) continue;
        subkeys.push_back(static_cast<int>(i));
    }
    return subkeys;
}

constexpr uint32_t ERROR_INVALID_HANDLE = 6;

}  // namespace

void SimAddRegistryKey(intptr_t root, const std::string& path) {
    AddKey(root, path);
}

void SimSetRegistryValue(intptr_t root, const std::string& path, const std::string& name,
                         const std::vector<uint8_t>& data) {
    SimRegistryKey& key = Sim.Registry[static_cast<size_t>(AddKey(root, path))];
    for (SimRegistryValue& v : key.Values) {
        if (strcasecmp(v.Name.c_str(), name.c_str()) == 0) {
            v.Data = data;
            return;
        }
    }
    key.Values.push_back({name, data});
}

void SimSetRegistryString(intptr_t root, const std::string& path, const std::string& name,
                          const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    SimSetRegistryValue(root, path, name, data);
}

uint32_t PlatformRegOpenKeyEx(RegistryKey root, const char* subKey, uint32_t samDesired,
                              RegistryKey* result) {
    *result = 0;
    std::string path = subKey;
    uint32_t error = ERROR_SUCCESS;
    int key = -1;
    if (!Injected(SimRegCall::Open, path, -1, &error)) {
        key = FindKey(root, path);
        if (key < 0) error = ERROR_FILE_NOT_FOUND;
    }
    Sim.RegistryOpens.push_back({root, path, samDesired, error});
    if (error != ERROR_SUCCESS) return error;
    Sim.RegistryHandles.push_back(key);
    ++Sim.RegistryKeysOpen;
    *result = SimRegistryHandleBase + static_cast<intptr_t>(Sim.RegistryHandles.size() - 1);
    return ERROR_SUCCESS;
}

uint32_t PlatformRegQueryInfoKey(RegistryKey handle, uint32_t* subKeys) {
    const int key = KeyOf(handle);
    if (key < 0) return ERROR_INVALID_HANDLE;
    uint32_t error = ERROR_SUCCESS;
    if (Injected(SimRegCall::QueryInfo, Sim.Registry[static_cast<size_t>(key)].Path, -1, &error)) {
        return error;
    }
    *subKeys = static_cast<uint32_t>(SubkeysOf(key).size());
    return ERROR_SUCCESS;
}

uint32_t PlatformRegEnumKeyEx(RegistryKey handle, uint32_t index, char* name,
                              uint32_t* nameLength) {
    const int key = KeyOf(handle);
    if (key < 0) return ERROR_INVALID_HANDLE;
    uint32_t error = ERROR_SUCCESS;
    if (Injected(SimRegCall::EnumKey, Sim.Registry[static_cast<size_t>(key)].Path,
                 static_cast<int>(index), &error)) {
        return error;
    }
    const std::vector<int> subkeys = SubkeysOf(key);
    if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& path = Sim.Registry[static_cast<size_t>(subkeys[index])].Path;
    const std::string leaf = path.substr(path.rfind('\\') + 1);
    if (leaf.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, leaf.c_str(), leaf.size() + 1);
    *nameLength = static_cast<uint32_t>(leaf.size());
    return ERROR_SUCCESS;
}

uint32_t PlatformRegQueryValueEx(RegistryKey handle, const char* valueName, uint8_t* data,
                                 uint32_t* dataSize) {
    const int key = KeyOf(handle);
    if (key < 0) return ERROR_INVALID_HANDLE;
    const SimRegistryKey& k = Sim.Registry[static_cast<size_t>(key)];
    uint32_t error = ERROR_SUCCESS;
    if (Injected(SimRegCall::QueryValue, k.Path, -1, &error)) return error;
    for (const SimRegistryValue& v : k.Values) {
        if (strcasecmp(v.Name.c_str(), valueName) != 0) continue;
        const uint32_t size = static_cast<uint32_t>(v.Data.size());
        if (size > *dataSize) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (size > 0) std::memcpy(data, v.Data.data(), size);
        *dataSize = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

uint32_t PlatformRegCloseKey(RegistryKey handle) {
    if (KeyOf(handle) < 0) return ERROR_INVALID_HANDLE;
    Sim.RegistryHandles[static_cast<size_t>(handle - SimRegistryHandleBase)] = -1;
    --Sim.RegistryKeysOpen;
    return ERROR_SUCCESS;
}
