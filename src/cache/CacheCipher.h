// Blowfish in counter mode for the cache index file. Enciphering and deciphering are
// the same operation. Each Initialize starts the keystream afresh; an instance is used
// by one thread at a time.
#pragma once

#include "platform/Types.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>

class CacheCipher
{
public:
    // The program's stored key and initial counter value (16 bytes each; the counter
    // block is the first 8).
    static const std::array<BYTE, 16> kStoredKey;
    static const std::array<BYTE, 16> kStoredCounter;

    CacheCipher();
    virtual ~CacheCipher();
    CacheCipher(const CacheCipher&) = delete;
    CacheCipher& operator=(const CacheCipher&) = delete;

    virtual bool Initialize(const BYTE* pKey, const BYTE* pInitialCounter, DWORD& dwKeyLength);
    virtual void Release();
    virtual bool Process(BYTE* pOut, const BYTE* pIn, DWORD& dwLength);
    virtual bool ProcessInPlace(BYTE* pBuffer, DWORD& dwLength);
    virtual bool ProcessFile(const std::string& sourcePath, const std::string& targetPath);

    // Initialize with the stored key and counter.
    bool InitializeStored();

private:
    struct Keystream;
    std::unique_ptr<Keystream> m_keystream;
};
