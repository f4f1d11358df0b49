// Writes a small, varied set of valid store files into a directory, as the reader fuzzer's
// starting corpus: empty stores, shared and empty objects, empty and non-UTF-8 keys.
#include <cstdio>
#include <fstream>
#include <string>

#include "core/writer/store_builder.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int n = 0;
    auto save = [&](const tarnkv::StoreBuilder& b) {
        std::ofstream(dir + "/seed-" + std::to_string(n++) + ".trnk", std::ios::binary) << b.image();
    };
    {
        tarnkv::StoreBuilder b;
        save(b);
    }
    {
        tarnkv::StoreBuilder b;
        (void)b.add_object("\x93\x01\x02\x03");
        (void)b.add_key("a", 0);
        (void)b.add_key("bb", 0);
        save(b);
    }
    {
        tarnkv::StoreBuilder b;
        (void)b.add_object("");
        (void)b.add_object("\x81\xa1k\xa1v");
        (void)b.add_object("\x81\xa1k\xa1v");
        (void)b.add_object("unreferenced");
        (void)b.add_key("", 0);
        (void)b.add_key("a", 1);
        (void)b.add_key("ab", 2);
        (void)b.add_key("abc", 1);
        (void)b.add_key(std::string("\xff\x6b", 2), 2);
        (void)b.add_key("\xc3\xa9t\xc3\xa9", 0);
        save(b);
    }
    {
        tarnkv::StoreBuilder b;
        for (int i = 0; i < 200; ++i) {
            (void)b.add_object("obj" + std::to_string(i * 7919 % 1000));
            (void)b.add_key("user:" + std::to_string(100000 + i), static_cast<std::uint32_t>(i));
            if (i % 3 == 0) (void)b.add_key("alias:" + std::to_string(i), static_cast<std::uint32_t>(i));
        }
        save(b);
    }
    {
        // A compressed store: a dictionary record first, tagged frames and one raw object.
        tarnkv::StoreBuilder b;
        b.order_objects_by_key(true);
        (void)b.compress(3);
        for (int i = 0; i < 300; ++i) {
            (void)b.add_object("{\"name\":\"package-" + std::to_string(i * 37 % 500) + "\",\"version\":\"1." +
                               std::to_string(i % 9) + "\",\"section\":\"libs\"}");
            (void)b.add_key("pkg:" + std::to_string(i), static_cast<std::uint32_t>(i));
        }
        (void)b.add_object(std::string("\x01\xfe\x7f\x00", 4));
        (void)b.add_key("odd", 300);
        save(b);
    }
    return 0;
}
