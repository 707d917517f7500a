#include "resources.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

bool can_spare_descriptors(int count)
{
    std::vector<int> taken;
    for (int i = 0; i < count; ++i) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        taken.push_back(fd);
    }
    for (int fd : taken)
        close(fd);
    return static_cast<int>(taken.size()) == count;
}
