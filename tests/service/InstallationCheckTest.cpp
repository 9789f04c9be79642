#include "service/InstallationCheck.h"

#include <gtest/gtest.h>

#include "support/TestFiles.h"

namespace {

// The IsDX client is VeloClient.exe in a folder of its own installation:
// the exe itself counts as well as its folder, and a writable exe is found
// in a folder that is safe.
TEST(InstallationCheck, TheIsDXClientsExeIsCheckedWithItsFolder) {
    TempFolder folder;
    std::wstring client = folder / L"VeloClient.exe";
    ASSERT_TRUE(WriteFileBytes(client, "MZ"));
    OthersWritable writable(client);
    ASSERT_TRUE(writable.done());

    std::vector<CheckedObject> objects = CheckClientObjects(true, client);
    ASSERT_EQ(2u, objects.size());
    EXPECT_EQ(L"The client", objects[0].what);
    EXPECT_EQ(client, objects[0].path);
    EXPECT_TRUE(objects[0].present);
    EXPECT_TRUE(objects[0].access.writableByUsers);
    EXPECT_EQ(L"The client's folder", objects[1].what);
    EXPECT_FALSE(objects[1].access.writableByUsers);
    std::wstring listing = PermissionsListing(objects);
    EXPECT_NE(std::wstring::npos,
              listing.find(L"  The client: " + client +
                           L"\r\n    may be changed by: Everyone (write data, append data, write EA, write attributes, "
                           L"delete child, delete)\r\n    verdict: UNSAFE, the client is not started\r\n"))
        << std::string(listing.begin(), listing.end());

    // No path from the registry: nothing to check.
    EXPECT_TRUE(CheckClientObjects(true, L"").empty());
}

// -Register refuses a protected program folder inside a folder that users
// may change: they could rename it and rebuild the path.
TEST(InstallationCheck, RegisterRefusesAFolderUnderAFolderUsersMayRename) {
    TempFolder outer;
    std::wstring folder = outer / L"CDZorra\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    CheckedObject safe = CheckObject(L"The program's folder", folder, true, true);
    EXPECT_TRUE(CheckBeforeRegister({safe})) << std::string(folder.begin(), folder.end());
    {
        OthersWritable writable(outer.Path());
        ASSERT_TRUE(writable.done());
        CheckedObject object = CheckObject(L"The program's folder", folder, true, true);
        EXPECT_FALSE(CheckBeforeRegister({object}));
        EXPECT_EQ(L"Everyone (delete child, delete) on " + outer.Path(), WritersText(object.access));
        // The object alone is as safe as before.
        EXPECT_FALSE(CheckObject(L"The program's folder", folder, true).access.writableByUsers);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
