// The in-memory descriptors behind the decoder's reads and writes in tests:
// every platform_read/platform_write of the decoder lands here, and the
// per-descriptor knobs inject short reads, failed reads and failed writes.
#include "fake_io.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "platform.h"

namespace {

// A deque keeps FakeFile addresses stable while descriptors are added.
std::deque<FakeFile> fake_files;

int add_file(FakeFile file)
{
    fake_files.push_back(std::move(file));
    return FAKE_FD_BASE + static_cast<int>(fake_files.size()) - 1;
}

}  // namespace

void fake_io_reset()
{
    fake_files.clear();
}

int fake_open_input(const uint8_t* data, size_t size)
{
    FakeFile file{};
    if (size > 0) file.input.assign(data, data + size);
    return add_file(std::move(file));
}

int fake_open_input(const std::vector<uint8_t>& data)
{
    return fake_open_input(data.data(), data.size());
}

int fake_open_output()
{
    FakeFile file{};
    file.keep_output = true;
    return add_file(std::move(file));
}

FakeFile* fake_file(int fd)
{
    const int index = fd - FAKE_FD_BASE;
    if (index < 0 || static_cast<size_t>(index) >= fake_files.size()) return nullptr;
    return &fake_files[static_cast<size_t>(index)];
}

int platform_read(int fd, void* buffer, uint32_t count)
{
    FakeFile* file = fake_file(fd);
    if (file == nullptr) return -1;
    file->read_calls++;
    file->read_sizes.push_back(count);
    if (file->read_calls == file->read_fail_at) return -1;
    size_t n = std::min<size_t>(count, file->input.size() - file->input_pos);
    if (file->max_read != 0) n = std::min<size_t>(n, file->max_read);
    if (n > 0) std::memcpy(buffer, file->input.data() + file->input_pos, n);
    file->input_pos += n;
    return static_cast<int>(n);
}

int platform_write(int fd, const void* buffer, uint32_t count)
{
    FakeFile* file = fake_file(fd);
    if (file == nullptr) return -1;
    file->write_calls++;
    file->write_sizes.push_back(count);
    int result = static_cast<int>(count);
    if (file->write_calls == file->write_fault_at) result = file->write_fault_result;
    if (result > 0) {
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        if (file->keep_output) file->output.insert(file->output.end(), bytes, bytes + result);
        file->bytes_written += static_cast<uint64_t>(result);
    }
    return result;
}
