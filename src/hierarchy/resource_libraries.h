// Providers' resource libraries and the messages about their declarations:
// where a provider's library is, loading it while its declarations are read,
// and writing the numbered declaration messages to the client's message log
// with texts from zvtadmrs.dll.
#ifndef ZVT_HIERARCHY_RESOURCE_LIBRARIES_H_
#define ZVT_HIERARCHY_RESOURCE_LIBRARIES_H_

#include <cstdint>
#include <string>

#include "hierarchy/client_functions.h"
#include "services/win_types.h"

namespace zvt {

// Fills the provider's resourceLibrary and resourceDirectory from its
// registry values ("AIMRIDLL", "MRIDLLPATH", or the plug-in's "NLS").
void resolveProviderResources(const ClientFunctionList& list, ClientFunctionProvider* provider);

// The directory named `provider_name` inside the install directory or
// inside one of its siblings, ending in a separator; empty when none exists.
std::u16string findResourceDirectory(const std::u16string& provider_name);

// Loads the provider's resource library and makes it current; returns the
// library that was current before. A library that cannot be loaded is
// reported (message 16100) unless it is the optional "zvtoptrs.dll".
HMODULE loadProviderResources(const ClientFunctionList& list,
                              const ClientFunctionProvider& provider);

// Writes message `number` of zvtadmrs.dll, with up to three inserts (given
// from the first on; null for none), to the message log. Returns the log's
// result, or `number` when the text is missing.
uint32_t reportDefinitionMessage(uint32_t number, const char16_t* insert1 = nullptr,
                                 const char16_t* insert2 = nullptr,
                                 const char16_t* insert3 = nullptr);

}  // namespace zvt

#endif  // ZVT_HIERARCHY_RESOURCE_LIBRARIES_H_
