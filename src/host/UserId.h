// The installation's user identifier OVUID: a GUID kept with its braces in the registry
// file (HKEY_LOCAL_MACHINE\SOFTWARE\Orvale\Orvale Deck\SharedData\EReg), created on
// first use, handed out without braces. Read afresh on every call; any thread.
#pragma once
#include <string>

// The identifier (36 characters), created and stored when there is none. Empty when it
// could not be stored. Throws mcObjectManagerUpgradeNeededException when the object
// manager cannot make its utilities.
std::string GetUserId();

// As GetUserId, but empty when the object manager cannot make its utilities: for the
// signing code, which treats an empty identifier as its own failure.
std::string GetUserIdOrEmpty();

// Creates a new identifier and stores it as "OVUID"; copies "EregUploadPermission" to
// "Upload" when it is non-zero. On success id becomes the braced text.
bool CreateUserId(std::string& strId);
