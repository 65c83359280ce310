#include "browsers/GnomeProxySettings.h"

#include "platform/ProxyAddress.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>

// GIO names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#pragma pop_macro("signals")

#include <cstring>
#include <memory>

namespace platform {

namespace {

// One line per change written: what the desktop's browsers were told, and in which order.
Q_LOGGING_CATEGORY(lcDesktop, "veilport.desktop")

const char* const kSchema = "org.gnome.system.proxy";
const char* const kHttpSchema = "org.gnome.system.proxy.http";
const char* const kHttpsSchema = "org.gnome.system.proxy.https";
const char* const kSocksSchema = "org.gnome.system.proxy.socks";

struct GObjectUnref
{
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct SchemaUnref
{
    void operator()(GSettingsSchema* schema) const
    {
        if (schema)
            g_settings_schema_unref(schema);
    }
};
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;

struct VariantUnref
{
    void operator()(GVariant* value) const
    {
        if (value)
            g_variant_unref(value);
    }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// One use of GSettings: the backend chosen from the environment of the moment, and a main context
// of its own for the calling thread. GLib picks its default backend and the user's configuration
// folder once per process, while the program's tests run many private homes one after another in
// one process; and the keyfile backend's file monitor must not deliver its events to the
// user-interface thread's main loop while this thread is still using (or freeing) the backend.
class Session
{
public:
    explicit Session(GSettingsSchemaSource* source) : m_source(source), m_context(g_main_context_new())
    {
        g_main_context_push_thread_default(m_context);
        if (qgetenv("GSETTINGS_BACKEND") == "keyfile") {
            // Where the gsettings tool's keyfile backend writes, with the same layout (groups named
            // after the schema's path below "/"), so the user's browsers and our tests read it alike.
            QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
            if (config.isEmpty())
                config = QDir::homePath() + QStringLiteral("/.config");
            const QByteArray file = QFile::encodeName(config + QStringLiteral("/glib-2.0/settings/keyfile"));
            m_backend = g_keyfile_settings_backend_new(file.constData(), "/", nullptr);
        } else {
            m_backend = g_settings_backend_get_default();
        }
    }
    ~Session()
    {
        g_object_unref(m_backend);
        g_main_context_pop_thread_default(m_context);
        g_main_context_unref(m_context);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    GSettingsBackend* backend() const { return m_backend; }

    // The installed schema with this id, or null.
    SchemaPtr schema(const char* schemaId) const
    {
        return SchemaPtr(m_source ? g_settings_schema_source_lookup(m_source, schemaId, TRUE) : nullptr);
    }

private:
    GSettingsSchemaSource* m_source;
    GMainContext* m_context;
    GSettingsBackend* m_backend = nullptr;
};

// Keys of several schemas written as one change: one write of the keyfile (each is a file replaced
// and flushed to disk) or one message to dconf, and no listener ever sees half of a proxy.
class ChangeSet
{
public:
    explicit ChangeSet(const Session& session)
        : m_session(session), m_tree(g_tree_new_full(&ChangeSet::comparePaths, nullptr, g_free, &ChangeSet::unrefValue))
    {
    }
    ~ChangeSet() { g_tree_unref(m_tree); }
    ChangeSet(const ChangeSet&) = delete;
    ChangeSet& operator=(const ChangeSet&) = delete;

    // Adds one key (value: a new, possibly floating reference, taken over). A key the schema lacks, or
    // a value of another type or out of the key's range, spoils the whole change: GSettings itself
    // would abort the program on such a write.
    void set(const char* schemaId, const char* key, GVariant* value)
    {
        const VariantPtr owned(g_variant_ref_sink(value));
        const SchemaPtr schema = m_session.schema(schemaId);
        if (!schema || !g_settings_schema_has_key(schema.get(), key)) {
            m_valid = false;
            return;
        }
        GSettingsSchemaKey* schemaKey = g_settings_schema_get_key(schema.get(), key);
        const bool fits = g_variant_is_of_type(value, g_settings_schema_key_get_value_type(schemaKey)) &&
                          g_settings_schema_key_range_check(schemaKey, value);
        g_settings_schema_key_unref(schemaKey);
        if (!fits) {
            m_valid = false;
            return;
        }
        const QByteArray path = QByteArray(g_settings_schema_get_path(schema.get())) + key;
        g_tree_insert(m_tree, g_strdup(path.constData()), g_variant_ref(value));
        gchar* printed = g_variant_print(value, FALSE);
        m_trace
            << QStringLiteral("%1 %2 %3").arg(QLatin1String(schemaId), QLatin1String(key), QString::fromUtf8(printed));
        g_free(printed);
    }

    // Writes every key or, when one of them was unusable or the store refuses one (locked down by an
    // administrator), none. Returns once the change has reached the store.
    bool write()
    {
        if (!m_valid || g_tree_nnodes(m_tree) == 0)
            return false;
        GSettingsBackend* backend = m_session.backend();
        GSettingsBackendClass* backendClass = G_SETTINGS_BACKEND_GET_CLASS(backend);
        if (!backendClass->write_tree(backend, m_tree, nullptr))
            return false;
        // The keyfile backend has replaced its file already; dconf sends the change to its service later.
        if (backendClass->sync)
            backendClass->sync(backend);
        qCInfo(lcDesktop).noquote() << "gnome proxy settings written:" << m_trace.join(QStringLiteral(", "));
        return true;
    }

private:
    static gint comparePaths(gconstpointer a, gconstpointer b, gpointer)
    {
        return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    }
    static void unrefValue(gpointer value) { g_variant_unref(static_cast<GVariant*>(value)); }

    const Session& m_session;
    GTree* m_tree;
    bool m_valid = true;
    QStringList m_trace;
};

GVariant* text(const QString& value)
{
    return g_variant_new_string(value.toUtf8().constData());
}

} // namespace

QString gvariantStringLiteral(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('\'');
    for (const QChar c : text) {
        if (c == QLatin1Char('\'') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

GnomeProxySettings::GnomeProxySettings(const QString& schemaDirectory)
{
    if (schemaDirectory.isEmpty()) {
        m_source = g_settings_schema_source_get_default();
        if (m_source)
            g_settings_schema_source_ref(m_source);
        return;
    }
    GError* error = nullptr;
    m_source = g_settings_schema_source_new_from_directory(QFile::encodeName(schemaDirectory).constData(), nullptr,
                                                           FALSE, &error);
    if (error)
        g_error_free(error);
}

GnomeProxySettings::~GnomeProxySettings()
{
    if (m_source)
        g_settings_schema_source_unref(m_source);
}

QString GnomeProxySettings::name() const
{
    return QStringLiteral("gnome");
}

bool GnomeProxySettings::isAvailable() const
{
    if (m_available < 0) {
        GSettingsSchema* schema = m_source ? g_settings_schema_source_lookup(m_source, kSchema, TRUE) : nullptr;
        m_available = schema ? 1 : 0;
        if (schema)
            g_settings_schema_unref(schema);
    }
    return m_available == 1;
}

bool GnomeProxySettings::apply(const QString& proxy, bool https)
{
    if (!isAvailable())
        return false;
    // A SOCKS host this object wrote would serve, under any later manual proxy, every scheme the http keys
    // leave out; the user's own SOCKS host is left alone.
    const bool socksIsOurs =
        !m_socksWritten.isEmpty() && readKey(QLatin1String(kSocksSchema), QStringLiteral("host")) + QLatin1Char(' ') +
                                             readKey(QLatin1String(kSocksSchema), QStringLiteral("port")) ==
                                         m_socksWritten;
    const Session session(m_source);
    ChangeSet change(session);
    if (socksIsOurs)
        change.set(kSocksSchema, "host", g_variant_new_string(""));
    // socks: the SOCKS host and port as read back once this change is written, empty when it names none of ours.
    const auto written = [&](const QString& socks) {
        if (!change.write())
            return false;
        m_socksWritten = socks;
        return true;
    };
    if (proxy.isEmpty()) {
        change.set(kSchema, "mode", g_variant_new_string("none"));
        return written(QString());
    }

    const ProxyAddress address = ProxyAddress::parse(proxy);
    if (!address.isValid()) {
        // A half-valid manual proxy would cut the desktop off; a direct connection does not.
        qWarning() << "browsers: unusable proxy text for GNOME, switching to direct:" << proxy;
        change.set(kSchema, "mode", g_variant_new_string("none"));
        written(QString());
        return false;
    }
    const int port = int(address.port);
    if (address.socks5) {
        // GNOME's SOCKS host serves every scheme, and a browser takes it only where no http or https host is
        // set; nor can it keep secure pages apart, so a SOCKS5 proxy carries them whatever https says.
        change.set(kSocksSchema, "host", text(address.host));
        change.set(kSocksSchema, "port", g_variant_new_int32(port));
        change.set(kHttpSchema, "host", g_variant_new_string(""));
        change.set(kHttpsSchema, "host", g_variant_new_string(""));
        change.set(kSchema, "mode", g_variant_new_string("manual"));
        return written(gvariantStringLiteral(address.host) + QLatin1Char(' ') + QString::number(port));
    }
    // Browsers send secure pages direct unless the https keys name a proxy too, so they are written
    // either way: the proxy, or an empty host that keeps secure pages direct.
    change.set(kHttpSchema, "host", text(address.host));
    change.set(kHttpSchema, "port", g_variant_new_int32(port));
    if (https) {
        change.set(kHttpsSchema, "host", text(address.host));
        change.set(kHttpsSchema, "port", g_variant_new_int32(port));
    } else {
        change.set(kHttpsSchema, "host", g_variant_new_string(""));
    }
    change.set(kSchema, "mode", g_variant_new_string("manual"));
    return written(QString());
}

QString GnomeProxySettings::readKey(const QString& schema, const QString& key) const
{
    const QByteArray schemaId = schema.toUtf8();
    const QByteArray keyName = key.toUtf8();
    const Session session(m_source);
    const SchemaPtr schemaInfo = session.schema(schemaId.constData());
    if (!schemaInfo || !g_settings_schema_has_key(schemaInfo.get(), keyName.constData()))
        return QString();
    const GObjectPtr<GSettings> settings(g_settings_new_full(schemaInfo.get(), session.backend(), nullptr));
    const VariantPtr value(g_settings_get_value(settings.get(), keyName.constData()));
    if (!value)
        return QString();
    gchar* printed = g_variant_print(value.get(), TRUE);
    const QString result = QString::fromUtf8(printed);
    g_free(printed);
    return result;
}

} // namespace platform
