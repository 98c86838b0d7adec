// Every test program links code that logs through the library's storage.
#include "support/ShownOnFailure.h"
#include "support/TestSupport.h"

#include <easylogging++.h>
#include <gtest/gtest.h>

INITIALIZE_EASYLOGGINGPP

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    ShowContextOnFailure();
    // What an earlier program ended by its time-out left behind.
    RemoveFoldersOfEndedTestPrograms();
    return RUN_ALL_TESTS();
}
