#pragma once
// The product's version, in this one place: the exe's version resource
// (app/CDZorra_Detect.rc) is made from it, and scripts/package.sh reads that
// resource for the Windows Installer packages. Windows Installer compares
// only major.minor.patch: a package that is to upgrade an installed one needs
// a higher triple. A build may give all three numbers itself (the tests'
// older exe does).

#ifndef CDZ_VERSION_MAJOR
#define CDZ_VERSION_MAJOR 1
#define CDZ_VERSION_MINOR 0
#define CDZ_VERSION_PATCH 0
#endif

// Who publishes the product, also in this one place: the version resource's
// CompanyName and LegalCopyright, which Explorer, the Programs list and
// publisher rules show, and (read back from that resource by
// scripts/package.sh) the packages' Manufacturer. A release signature names
// the same organisation in its certificate's subject.
#define CDZ_COMPANY_NAME "CDZorra"
#define CDZ_LEGAL_COPYRIGHT "Copyright (C) 2026 " CDZ_COMPANY_NAME

#define CDZ_VERSION_STRINGIZE2(x) #x
#define CDZ_VERSION_STRINGIZE(x) CDZ_VERSION_STRINGIZE2(x)
#define CDZ_VERSION_TEXT                                                                      \
    CDZ_VERSION_STRINGIZE(CDZ_VERSION_MAJOR) "." CDZ_VERSION_STRINGIZE(CDZ_VERSION_MINOR) "." \
    CDZ_VERSION_STRINGIZE(CDZ_VERSION_PATCH) ".0"
