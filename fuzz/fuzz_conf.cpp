/*
 * fuzz_conf.cpp - the configuration and serial number files as they may be
 * found on the unit: the input holds both, the configuration file before
 * the first NUL byte and the serial number file after it. They are read
 * by the common readers (every key the programs use), the serial number
 * reader, the device set-up of the startup client (which also rewrites the
 * configuration) and its installed-version check.
 */
#include <string.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelStartclient.h"

static const char *const fuzzConfigKeys[] = {
    "LANGUAGE", "BKLPWM", "APP_VERSION", "KER_VERSION", "LCD", "WORKHOUR", "BKLCTRL",
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kelFuzzRequireBoard();
    const uint8_t *split = (const uint8_t *)memchr(data, 0, size);
    size_t confSize = split != NULL ? (size_t)(split - data) : size;
    size_t snSize = split != NULL ? size - confSize - 1 : 0;
    if (kelFuzzWriteFile(KEL_CONFIG_FILE, data, confSize) < 0 ||
        kelFuzzWriteFile(KEL_SN_FILE, split != NULL ? split + 1 : data, snSize) < 0) {
        return 0;
    }
    for (const char *key : fuzzConfigKeys) {
        /* One byte more than a value fills, as the programs read it. */
        char value[KEL_ENV_VALUE_SIZE + 1];
        memset(value, 0, sizeof(value));
        kelGetLinuxEnv(key, value);
    }
    char sn[KEL_ENV_VALUE_SIZE + 1];
    INT32 snLen = 0;
    memset(sn, 0, sizeof(sn));
    kelGetSerialNumber(sn, &snLen);

    KEL_DEVICE_INFO di;
    memset(&di, 0, sizeof(di));
    kelInitDevice(&di, KEL_DEVICE_CLIENT, KELSTP_PORT, STP_PROGRAM_NAME);
    KELSTP_versionData_t wanted;
    memset(&wanted, 0, sizeof(wanted));
    stpVersionCheck(&wanted);
    kelFuzzDrainQueues();
    return 0;
}
