#pragma once
// Whether a file carries an Authenticode signature, by whom, and whether
// Windows accepts it here: -List's "Signature:" line for the running exe, so
// that an administrator sees what a publisher rule (AppLocker, App Control,
// Smart App Control) will see.

#include <string>

// What was found; the text is made from it alone (DescribeSignature).
struct SignatureCheck {
    bool checked = false;      // wintrust.dll and crypt32.dll were there
    long trust = 0;            // WinVerifyTrust's answer (0: valid and trusted)
    std::wstring signer;       // the signer certificate's simple name, "" when none was found
    std::wstring subject;      // its whole subject (what a publisher rule names)
};

// The text after "Signature: ".
std::wstring DescribeSignature(const SignatureCheck& check);

// Checks the file with WinVerifyTrust (no revocation check, no network) and
// reads its signer with CryptQueryObject, where this Windows release has them.
SignatureCheck CheckFileSignature(const std::wstring& path);
