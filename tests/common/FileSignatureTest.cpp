#include "common/FileSignature.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "common/ModulePath.h"
#include "support/TestFiles.h"

namespace {

// The signed side (a file signed with a throwaway certificate, the same file
// with a byte changed) is tested on the built exe by
// tests/signing/signing-test.sh, which makes the certificate.

// What -List says for each outcome of the check.
TEST(FileSignature, DescribesEachOutcome) {
    struct Case {
        SignatureCheck check;
        const wchar_t* expected;
    } cases[] = {
        {{false, 0, L"", L""}, L"cannot be checked: this Windows release lacks wintrust.dll or crypt32.dll"},
        {{true, static_cast<long>(0x800B0100), L"", L""}, L"not signed: no publisher rule can name it"},
        {{true, 0, L"Pub", L"CN=Pub, O=Org"}, L"signed by \"Pub\" (CN=Pub, O=Org); valid, and trusted on this machine"},
        {{true, static_cast<long>(0x80096010), L"Pub", L""},
         L"signed by \"Pub\"; not accepted here: the file was changed after it was signed: the signature is not valid"},
        {{true, static_cast<long>(0x800B0109), L"Pub", L"CN=Pub"},
         L"signed by \"Pub\" (CN=Pub); not accepted here: its root certificate is not trusted on this machine"},
        {{true, static_cast<long>(0x80090008), L"Pub", L""},
         L"signed by \"Pub\"; not accepted here: this Windows release cannot check its SHA-256 digest"},
        // An answer without a text of its own keeps its code.
        {{true, static_cast<long>(0x8009200D), L"Pub", L""}, L"signed by \"Pub\"; not accepted here (error 0x8009200D)"},
        {{true, static_cast<long>(0x8009200D), L"", L""}, L"not valid: Windows reads no signer from it (error 0x8009200D)"},
        // A certificate's name cannot start a line of its own in the report.
        {{true, 0, L"Pub\r\nSignature: forged", L"CN=Pub\n"},
         L"signed by \"Pub??Signature: forged\" (CN=Pub?); valid, and trusted on this machine"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::wstring(c.expected), DescribeSignature(c.check)) << "trust 0x" << std::hex << c.check.trust;
    }
}

// The real check, on files that carry no signature: the test program itself
// and a file that is no program at all.
TEST(FileSignature, UnsignedFilesAreSaidToBeUnsigned) {
    TempFolder folder;
    std::wstring text = folder / L"notes.txt";
    ASSERT_TRUE(WriteFileBytes(text, "not a program\r\n"));
    for (const std::wstring& path : {GetModulePath(), text}) {
        SignatureCheck check = CheckFileSignature(path);
        EXPECT_TRUE(check.checked);
        EXPECT_EQ(L"", check.signer);
        EXPECT_EQ(L"not signed: no publisher rule can name it", DescribeSignature(check))
            << "trust 0x" << std::hex << check.trust;
    }
}

}  // namespace
