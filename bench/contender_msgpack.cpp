// SPDX-License-Identifier: MIT
// msgpack-c: the tree packed into one buffer. A list is an array holding, for
// each record, its tag and then either an array (a node's list) or a bin (a
// data record's payload). Walked by unpacking the buffer and visiting the
// unpacked objects.
#include <msgpack.h>

#include <cstdio>
#include <cstdlib>

#include "workload.hpp"

namespace bench {
namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "msgpack-c: %s\n", what);
    std::abort();
}

void walk_list(const msgpack_object_array &list, checksum &sum) {
    for (uint32_t i = 0; i + 1 < list.size; i += 2) {
        const auto tag = static_cast<unsigned>(list.ptr[i].via.u64);
        const msgpack_object &value = list.ptr[i + 1];
        on_event(sum, ev_start, tag, nullptr, 0);
        if (value.type == MSGPACK_OBJECT_ARRAY)
            walk_list(value.via.array, sum);
        else if (value.via.bin.size != 0)
            on_event(sum, ev_data, tag, reinterpret_cast<const unsigned char *>(value.via.bin.ptr), value.via.bin.size);
        on_event(sum, ev_end, tag, nullptr, 0);
    }
}

class msgpack_contender final : public contender {
public:
    msgpack_contender() { msgpack_sbuffer_init(&buffer_); }
    ~msgpack_contender() override { msgpack_sbuffer_destroy(&buffer_); }
    std::string name() const override { return "msgpack-c"; }

    void build(const workload &w) override {
        msgpack_sbuffer_init(&buffer_);
        msgpack_packer packer;
        msgpack_packer_init(&packer, &buffer_, msgpack_sbuffer_write);
        int status = msgpack_pack_array(&packer, 2 * std::size_t{w.root_count});
        for (const op &o : w.ops) {
            switch (o.kind) {
            case op::node:
                status |= msgpack_pack_uint16(&packer, o.tag);
                status |= msgpack_pack_array(&packer, 2 * std::size_t{o.count});
                break;
            case op::data:
                status |= msgpack_pack_uint16(&packer, o.tag);
                status |= msgpack_pack_bin_with_body(&packer, o.bytes, o.count);
                break;
            case op::end: break;
            }
        }
        if (status != 0) fail("pack failed");
    }

    void clear() override {
        msgpack_sbuffer_destroy(&buffer_);
        msgpack_sbuffer_init(&buffer_);
    }

    std::vector<walk_kind> walks() override {
        return {{"unpack", [this](checksum &sum) {
                     msgpack_unpacked result;
                     msgpack_unpacked_init(&result);
                     std::size_t offset = 0;
                     if (msgpack_unpack_next(&result, buffer_.data, buffer_.size, &offset) != MSGPACK_UNPACK_SUCCESS)
                         fail("unpack failed");
                     walk_list(result.data.via.array, sum);
                     msgpack_unpacked_destroy(&result);
                 }}};
    }

private:
    msgpack_sbuffer buffer_;
};

}  // namespace

std::unique_ptr<contender> make_msgpack() { return std::make_unique<msgpack_contender>(); }

}  // namespace bench
