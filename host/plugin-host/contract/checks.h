#pragma once

#include "catalog.h"

// The named tests themselves, each filling the report it is given.
namespace host::contract {

ContractCheck descriptor;
ContractCheck lifecycle;
ContractCheck getPluginTwice;
ContractCheck deleteBeforeGet;
ContractCheck freshAfterDelete;
ContractCheck copyOutlivesDelete;
ContractCheck unloadWhileHolding;
ContractCheck sequence;  // options.sequence, held to the model

}  // namespace host::contract
