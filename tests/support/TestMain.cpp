// The main of every test program: GoogleTest and GoogleMock with a machine registry of the
// program's own.
#include "tests/support/MachineRegistry.h"

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    NuvTest::IsolatedMachineRegistry machine;
    return RUN_ALL_TESTS();
}
