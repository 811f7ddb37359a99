// A package descriptor read from memory and the same bytes read from a device as it goes
// must say the same: the same package attributes, the same files, the same error line.
#include "fuzzcheck.h"
#include "packagedescriptor.h"

#include <QBuffer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const PackageDescriptor fromBytes = PackageDescriptor::read(bytes);
    QBuffer buffer(&bytes);
    FUZZ_CHECK(buffer.open(QIODevice::ReadOnly));
    const PackageDescriptor fromDevice = PackageDescriptor::read(&buffer);

    FUZZ_CHECK(fromBytes.isValid() == (fromBytes.errorLine() == 0));
    FUZZ_CHECK(fromBytes.errorLine() == fromDevice.errorLine());
    FUZZ_CHECK(fromBytes.packages() == fromDevice.packages());
    FUZZ_CHECK(fromBytes.files() == fromDevice.files());
    for (const PackageDescriptor::File &file : fromBytes.files())
        FUZZ_CHECK(file.action == file.action.toLower());
    return 0;
}
