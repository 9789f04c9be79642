#include "common/FileSignature.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

#include "common/Handles.h"

namespace {

// HRESULTs of WinVerifyTrust and the certificate chain (winerror.h), kept
// here as plain numbers: the pure part has no Windows header to rely on.
const long kNoSignature = static_cast<long>(0x800B0100);        // TRUST_E_NOSIGNATURE
const long kSubjectFormUnknown = static_cast<long>(0x800B0003);  // TRUST_E_SUBJECT_FORM_UNKNOWN
const long kProviderUnknown = static_cast<long>(0x800B0001);     // TRUST_E_PROVIDER_UNKNOWN

struct TrustText {
    long result;
    const wchar_t* text;
};

const TrustText kTrustTexts[] = {
    {static_cast<long>(0x80096010), L"the file was changed after it was signed: the signature is not valid"},  // TRUST_E_BAD_DIGEST
    {static_cast<long>(0x800B0109), L"its root certificate is not trusted on this machine"},  // CERT_E_UNTRUSTEDROOT
    {static_cast<long>(0x800B010A), L"its certificate chain does not reach a root certificate"},  // CERT_E_CHAINING
    {static_cast<long>(0x800B0101), L"its certificate has expired and the signature has no timestamp"},  // CERT_E_EXPIRED
    {static_cast<long>(0x800B010C), L"its certificate was revoked"},  // CERT_E_REVOKED
    {static_cast<long>(0x800B0111), L"its certificate is explicitly distrusted on this machine"},  // TRUST_E_EXPLICIT_DISTRUST
    {static_cast<long>(0x800B0110), L"its certificate is not one for code signing"},  // CERT_E_WRONG_USAGE
    {static_cast<long>(0x80096019), L"its certificate is not one for code signing"},  // TRUST_E_BASIC_CONSTRAINTS
    {static_cast<long>(0x80090008), L"this Windows release cannot check its SHA-256 digest"},  // NTE_BAD_ALGID
    {static_cast<long>(0x80091002), L"this Windows release cannot check its SHA-256 digest"},  // CRYPT_E_UNKNOWN_ALGO
};

std::wstring Hex8(unsigned long value) {
    std::wstring text;
    for (int shift = 28; shift >= 0; shift -= 4) text += L"0123456789ABCDEF"[(value >> shift) & 0xF];
    return text;
}

// A certificate's names come from whoever made it: no control character may
// forge a line of the report.
std::wstring Printable(std::wstring text) {
    for (wchar_t& c : text) {
        if (c < 0x20 || c == 0x7F) c = L'?';
    }
    return text;
}

struct LibraryTraits {
    using pointer = HMODULE;
    static pointer Invalid() { return nullptr; }
    static void Close(pointer module) { FreeLibrary(module); }
};

UniqueAny<LibraryTraits> LoadSystemLibrary(const wchar_t* name) {
    wchar_t system[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return UniqueAny<LibraryTraits>();
    return UniqueAny<LibraryTraits>(LoadLibraryW((std::wstring(system) + L"\\" + name).c_str()));
}

template <typename Function>
Function Find(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The calls of crypt32.dll that read the signer of a file's embedded signature.
struct Crypt32 {
    decltype(&CryptQueryObject) queryObject;
    decltype(&CryptMsgGetParam) msgGetParam;
    decltype(&CryptMsgClose) msgClose;
    decltype(&CertCloseStore) closeStore;
    decltype(&CertFindCertificateInStore) findCertificate;
    decltype(&CertFreeCertificateContext) freeCertificate;
    decltype(&CertGetNameStringW) getName;

    explicit Crypt32(HMODULE module)
        : queryObject(Find<decltype(queryObject)>(module, "CryptQueryObject")),
          msgGetParam(Find<decltype(msgGetParam)>(module, "CryptMsgGetParam")),
          msgClose(Find<decltype(msgClose)>(module, "CryptMsgClose")),
          closeStore(Find<decltype(closeStore)>(module, "CertCloseStore")),
          findCertificate(Find<decltype(findCertificate)>(module, "CertFindCertificateInStore")),
          freeCertificate(Find<decltype(freeCertificate)>(module, "CertFreeCertificateContext")),
          getName(Find<decltype(getName)>(module, "CertGetNameStringW")) {}

    bool Complete() const {
        return queryObject && msgGetParam && msgClose && closeStore && findCertificate && freeCertificate && getName;
    }
};

std::wstring CertificateName(const Crypt32& crypt, PCCERT_CONTEXT certificate, DWORD type, DWORD flags) {
    void* parameter = type == CERT_NAME_RDN_TYPE ? &flags : nullptr;
    DWORD length = crypt.getName(certificate, type, 0, parameter, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::vector<wchar_t> name(length);
    length = crypt.getName(certificate, type, 0, parameter, name.data(), length);
    return length <= 1 ? std::wstring() : std::wstring(name.data(), length - 1);
}

// The signer certificate of the file's embedded signature: its simple name and
// its subject; both "" when the file has no signature that can be read.
void ReadSigner(const Crypt32& crypt, const std::wstring& path, SignatureCheck* check) {
    DWORD encoding = 0, contentType = 0, formatType = 0;
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!crypt.queryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                           CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store, &message,
                           nullptr)) {
        return;
    }
    DWORD size = 0;
    std::vector<BYTE> buffer;
    if (crypt.msgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size >= sizeof(CMSG_SIGNER_INFO)) {
        buffer.resize(size);
        if (!crypt.msgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) buffer.clear();
    }
    if (!buffer.empty()) {
        const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
        CERT_INFO wanted = {};
        wanted.Issuer = signer->Issuer;
        wanted.SerialNumber = signer->SerialNumber;
        PCCERT_CONTEXT certificate = crypt.findCertificate(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                           CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
        if (certificate != nullptr) {
            check->signer = CertificateName(crypt, certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0);
            check->subject = CertificateName(crypt, certificate, CERT_NAME_RDN_TYPE, CERT_X500_NAME_STR);
            crypt.freeCertificate(certificate);
        }
    }
    crypt.msgClose(message);
    crypt.closeStore(store, 0);
}

}  // namespace

std::wstring DescribeSignature(const SignatureCheck& check) {
    if (!check.checked) {
        return L"cannot be checked: this Windows release lacks wintrust.dll or crypt32.dll";
    }
    bool unsigned_ = check.trust == kNoSignature || check.trust == kSubjectFormUnknown ||
                     check.trust == kProviderUnknown;
    if (check.signer.empty()) {
        if (unsigned_) return L"not signed: no publisher rule can name it";
        return L"not valid: Windows reads no signer from it (error 0x" + Hex8(static_cast<unsigned long>(check.trust)) +
               L")";
    }
    std::wstring text = L"signed by \"" + Printable(check.signer) + L"\"";
    if (!check.subject.empty()) text += L" (" + Printable(check.subject) + L")";
    if (check.trust == 0) return text + L"; valid, and trusted on this machine";
    for (const TrustText& known : kTrustTexts) {
        if (known.result == check.trust) return text + L"; not accepted here: " + known.text;
    }
    return text + L"; not accepted here (error 0x" + Hex8(static_cast<unsigned long>(check.trust)) + L")";
}

SignatureCheck CheckFileSignature(const std::wstring& path) {
    SignatureCheck check;
    UniqueAny<LibraryTraits> wintrust = LoadSystemLibrary(L"wintrust.dll");
    UniqueAny<LibraryTraits> cryptLibrary = LoadSystemLibrary(L"crypt32.dll");
    if (!wintrust || !cryptLibrary) return check;
    auto verify = Find<decltype(&WinVerifyTrust)>(wintrust.get(), "WinVerifyTrust");
    Crypt32 crypt(cryptLibrary.get());
    if (verify == nullptr || !crypt.Complete()) return check;
    check.checked = true;

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    // -List reads, and must not wait on the network for a certificate's issuer.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    check.trust = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    ReadSigner(crypt, path, &check);
    return check;
}
