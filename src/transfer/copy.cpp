#include "transfer/copy.hpp"

#include "driver/run_state.hpp"
#include "transfer/alloc.hpp"
#include "transfer/checksum.hpp"
#include "transfer/write_all.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

struct free_deleter {
    void operator()(void* block) const {
        std::free(block);
    }
};

copy_end copy_loop(int from_fd, int to_fd, bool with_dots) {
    const auto size = static_cast<std::size_t>(buffer_size);
    const std::unique_ptr<unsigned char[], free_deleter> buffer{
        static_cast<unsigned char*>(alloc_or_die(size))};
    const destination_kind destination = kind_of_destination(to_fd);
    for (;;) {
        const ssize_t n = read(from_fd, buffer.get(), size);
        if (n <= 0) {
            return copy_end::source_ended;
        }
        if (has_flag(FLAG_SUM)) {
            run_state.checksum =
                checksum_update(run_state.checksum, buffer.get(), static_cast<std::int32_t>(n));
        }
        if (!write_all(to_fd, buffer.get(), static_cast<std::size_t>(n), destination)) {
            // Reading on would drop the data: the copy ends here and says so.
            if (!write_failure_is_reportable(errno)) {
                return copy_end::write_interrupted;
            }
            std::perror("write");
            return copy_end::write_failed;
        }
        run_state.byte_count += n;
        if (with_dots) {
            std::fputc('.', stderr);
        }
    }
}

} // namespace

copy_end copy_plain(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, false);
}

copy_end copy_dots(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, true);
}
