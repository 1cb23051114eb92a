// idxcache config get|set|list: the platform key store.
#include <cstdio>

#include "Commands.h"
#include "platform/OXPlatformInfo.h"

namespace cli {

void addConfigCommands(CLI::App& app, Context& ctx) {
    CLI::App* config = app.add_subcommand("config", "Read and write the platform key store");
    config->require_subcommand(1);

    struct Args {
        std::string section = "Depot";
        std::string key;
        std::string value;
    };
    auto args = std::make_shared<Args>();

    CLI::App* get = config->add_subcommand("get", "Print one value (exit 1 when absent)");
    get->add_option("key", args->key, "Key name")->required();
    get->add_option("-s,--section", args->section, "Section name")->capture_default_str();
    get->callback([args, &ctx] {
        std::string v;
        if (platform::KeyStore::get(args->section, args->key, v)) {
            std::printf("%s\n", v.c_str());
        } else {
            std::fprintf(stderr, "[%s] %s: not set\n", args->section.c_str(), args->key.c_str());
            ctx.exitCode = 1;
        }
    });

    CLI::App* set = config->add_subcommand("set", "Set one value");
    set->add_option("key", args->key, "Key name")->required();
    set->add_option("value", args->value, "Value")->required();
    set->add_option("-s,--section", args->section, "Section name")->capture_default_str();
    set->callback([args, &ctx] {
        if (!platform::KeyStore::set(args->section, args->key, args->value)) {
            std::fprintf(stderr, "cannot write [%s] %s to %s\n", args->section.c_str(),
                         args->key.c_str(), platform::KeyStore::path().c_str());
            ctx.exitCode = 1;
        }
    });

    CLI::App* unset = config->add_subcommand("unset", "Remove one value");
    unset->add_option("key", args->key, "Key name")->required();
    unset->add_option("-s,--section", args->section, "Section name")->capture_default_str();
    unset->callback([args, &ctx] {
        if (!platform::KeyStore::remove(args->section, args->key)) {
            std::fprintf(stderr, "[%s] %s: not set\n", args->section.c_str(), args->key.c_str());
            ctx.exitCode = 1;
        }
    });

    CLI::App* list = config->add_subcommand("list", "List every value");
    list->callback([] {
        std::string section;
        bool first = true;
        for (const platform::KeyEntry& e : platform::KeyStore::list()) {
            if (first || e.section != section) {
                std::printf("%s[%s]\n", first ? "" : "\n", e.section.c_str());
                section = e.section;
                first = false;
            }
            std::printf("%s = %s\n", e.key.c_str(), e.value.c_str());
        }
    });
}

} // namespace cli
