// TDconfKey over the dconf client library.
#include "serial/dconf/DconfKey.h"

#include <dconf.h>
#include <stdexcept>

namespace serial {

// The client lives in a main context of its own: its change notices are
// dispatched (and freed) there, never in the host's main loop, which under
// Qt on Linux is GLib's default context.
struct TDconfKey::State {
    GMainContext* context = nullptr;
    DConfClient* client = nullptr;
    DConfChangeset* pending = nullptr;

    State() {
        context = g_main_context_new();
        g_main_context_push_thread_default(context);
        client = dconf_client_new();
        g_main_context_pop_thread_default(context);
    }
    ~State() {
        if (pending) dconf_changeset_unref(pending);
        g_object_unref(client);
        Drain();
        g_main_context_unref(context);
    }
    void Drain() {
        while (g_main_context_iteration(context, FALSE)) {
        }
    }
};

namespace {

struct VariantRef {
    GVariant* v = nullptr;
    ~VariantRef() {
        if (v) g_variant_unref(v);
    }
};

std::string TypeOf(GVariant* v) {
    return g_variant_get_type_string(v);
}

} // namespace

TDconfKey::TDconfKey(std::string path) : path_(std::move(path)) {
    if (!dconf_is_dir(path_.c_str(), nullptr))
        throw std::invalid_argument("\"" + path_ + "\" is not a dconf folder path");
    state_ = std::make_unique<State>();
}

TDconfKey::~TDconfKey() = default;

std::string TDconfKey::Describe() const {
    return "dconf key " + path_;
}

std::string TDconfKey::KeyOf(const std::string& name) const {
    std::string key = path_ + name;
    if (!dconf_is_key(key.c_str(), nullptr))
        throw ESettingsStore(Describe() + ": \"" + name + "\" is not a valid value name");
    return key;
}

bool TDconfKey::Exists() {
    if (state_->pending && !dconf_changeset_is_empty(state_->pending)) return true;
    // Sub-folders are listed too (their names end in "/"); only values count.
    gchar** names = dconf_client_list(state_->client, path_.c_str(), nullptr);
    bool found = false;
    for (gchar** n = names; n && *n && !found; ++n)
        found = !g_str_has_suffix(*n, "/");
    g_strfreev(names);
    return found;
}

namespace {

// The value a pending write gives, else the database's; null when absent.
GVariant* Lookup(DConfClient* client, DConfChangeset* pending, const std::string& key) {
    GVariant* value = nullptr;
    if (pending && dconf_changeset_get(pending, key.c_str(), &value)) return value;
    return dconf_client_read(client, key.c_str());
}

} // namespace

std::string TDconfKey::ReadString(const std::string& name) {
    VariantRef value{Lookup(state_->client, state_->pending, KeyOf(name))};
    if (!value.v) return {};
    if (!g_variant_is_of_type(value.v, G_VARIANT_TYPE_STRING))
        throw ESettingsStore(Describe() + ": " + name + " holds a value of type " +
                             TypeOf(value.v) + ", not text");
    gsize length = 0;
    const gchar* text = g_variant_get_string(value.v, &length);
    return std::string(text, length);
}

int32_t TDconfKey::ReadInteger(const std::string& name) {
    VariantRef value{Lookup(state_->client, state_->pending, KeyOf(name))};
    if (!value.v) throw ESettingsStore(Describe() + ": " + name + " is missing");
    if (!g_variant_is_of_type(value.v, G_VARIANT_TYPE_INT32))
        throw ESettingsStore(Describe() + ": " + name + " holds a value of type " +
                             TypeOf(value.v) + ", not a 32-bit integer");
    return g_variant_get_int32(value.v);
}

void TDconfKey::WriteString(const std::string& name, const std::string& value) {
    const std::string key = KeyOf(name);
    // dconf strings are UTF-8 and cannot hold a zero byte.
    if (!g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr))
        throw ESettingsStore(Describe() + ": " + name + " is not UTF-8 text");
    if (!state_->pending) state_->pending = dconf_changeset_new();
    dconf_changeset_set(state_->pending, key.c_str(), g_variant_new_string(value.c_str()));
}

void TDconfKey::WriteInteger(const std::string& name, int32_t value) {
    const std::string key = KeyOf(name);
    if (!state_->pending) state_->pending = dconf_changeset_new();
    dconf_changeset_set(state_->pending, key.c_str(), g_variant_new_int32(value));
}

void TDconfKey::Flush() {
    if (!state_->pending) return;
    DConfChangeset* changes = state_->pending;
    state_->pending = nullptr;
    GError* error = nullptr;
    const gboolean written =
        dconf_client_change_sync(state_->client, changes, nullptr, nullptr, &error);
    dconf_changeset_unref(changes);
    state_->Drain();
    if (!written) {
        std::string why = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw ESettingsStore(Describe() + ": cannot write: " + why);
    }
}

} // namespace serial
