// The account's devices, local status, the diagnostics report, the update check and billing.
#include "commands.hpp"

#include "../errors.hpp"

#include <tarn/logic/app_update.hpp>
#include <tarn/logic/diagnostics.hpp>

#include <charconv>
#include <iostream>
#include <sstream>

#ifndef TARNCTL_VERSION
#define TARNCTL_VERSION "0.0.0"
#endif

namespace tarnctl {

namespace {

std::string joinNonEmpty(std::initializer_list<std::optional<std::string>> parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!p || p->empty()) continue;
        if (!out.empty()) out += ' ';
        out += *p;
    }
    return out.empty() ? "-" : out;
}

void printDeviceCounts(std::ostream& os, const tarn::AccountDevicesResponse& d) {
    os << d.used << " of " << d.limit << " devices used, " << d.available << " available"
              << (d.subscriptionActive ? "" : " (no active subscription)") << ".\n";
}

std::string rub(std::int64_t amount) { return std::to_string(amount) + " RUB"; }

}  // namespace

void printDevices(std::ostream& os, const tarn::AccountDevicesResponse& devices, const std::string& thisDeviceID) {
    if (devices.devices.empty()) {
        os << "No devices registered.\n";
    } else {
        Table table({"ID", "NAME", "PLATFORM", "MODEL", "CLIENT", "LAST SEEN", ""});
        for (const auto& d : devices.devices) {
            table.row({std::to_string(d.id), d.name, joinNonEmpty({d.platform, d.platformVersion}), d.model.value_or("-"),
                       joinNonEmpty({d.clientApp, d.clientVersion}), shortTime(d.lastSeenAt),
                       d.deviceID == thisDeviceID ? "(this device)" : ""});
        }
        table.print(os);
    }
    printDeviceCounts(os, devices);
}

int runDevices(App& app) {
    tarn::AccountDevicesResponse devices = app.client().accountDevices();
    if (app.out().json()) {
        app.out().document(encodeRecord(devices));
    } else {
        printDevices(std::cout, devices, app.deviceID());
    }
    return exitOK;
}

int runDeviceRemove(App& app, const std::string& idText) {
    std::int64_t id = 0;
    auto [end, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (ec != std::errc() || end != idText.data() + idText.size()) {
        throw usageError("a device is named by its number from `tarnctl devices`, not \"" + idText + "\"");
    }
    tarn::AccountDeviceRemovalResponse removal = app.client().removeAccountDevice(id);
    if (app.out().json()) {
        app.out().document(encodeRecord(removal));
        return exitOK;
    }
    std::cout << "Removed device " << id << ".";
    if (removal.legacyProfileRotated.value_or(false)) std::cout << " Its VPN profile no longer works.";
    std::cout << '\n';
    printDeviceCounts(std::cout, removal.devicesResponse());
    return exitOK;
}

int runStatus(App& app) {
    std::optional<tarn::VLESSConfig> profile;
    tarn::VPNConnectionState state = app.vpnState(&profile);
    std::string keychain = app.keychainKind();
    bool signedIn = false;
    std::optional<tarn::CRMUser> user;
    std::optional<ErrorReport> accountError;
    // A secret store that cannot be read is one more thing status reports, not a reason to stop.
    try {
        signedIn = app.signedIn();
        if (signedIn) user = app.client().me();
    } catch (...) {
        accountError = describeError(std::current_exception(), app.options().baseURL);
        app.recordLastError(*accountError);
    }
    std::string directory = app.container().url().string();
    std::optional<tarn::tunnel::TunnelState> tunnel = tarn::tunnel::readLiveState(tunnelRunDirectory());

    if (app.out().json()) {
        JsonObject doc;
        doc.string("base_url", app.options().baseURL)
            .string("device_id", app.deviceID())
            .string("keychain", keychain)
            .string("state_dir", app.options().stateDir.string())
            .boolean("signed_in", signedIn)
            .raw("user", user ? encodeRecord(*user) : "null")
            .string("vpn_state", state.description())
            .string("shared_directory", directory)
            .optionalString("profile_server_id", profile ? std::optional(profile->serverID) : std::nullopt)
            .raw("tunnel", tunnelJSON(tunnel));
        if (accountError) {
            doc.raw("account_error",
                    JsonObject().string("kind", accountError->kind).string("message", accountError->message).str());
        }
        app.out().document(doc.str());
    } else {
        std::vector<std::pair<std::string, std::string>> fields = {
            {"Server", app.options().baseURL},
            {"Signed in", signedIn ? (user ? "yes, as " + user->email.value_or(user->id) : "yes") : "no"},
        };
        if (user) fields.emplace_back("Subscription", subscriptionSummary(*user));
        if (accountError) fields.emplace_back("Account", "unavailable: " + accountError->message);
        fields.emplace_back("VPN", state.description() + (profile ? " (profile for " + profile->serverID + ")" : ""));
        fields.emplace_back("Tunnel", describeTunnel(tunnel));
        fields.emplace_back("Shared directory", directory);
        fields.emplace_back("Device ID", app.deviceID());
        fields.emplace_back("Secret store", keychain);
        fields.emplace_back("State directory", app.options().stateDir.string());
        printFields(std::cout, fields);
    }
    return accountError ? accountError->exitCode : exitOK;
}

std::string diagnosticsReport(App& app) {
    std::optional<tarn::CRMUser> user;
    std::optional<std::string> lastError = app.lastError();
    bool signedIn = false;
    try {
        signedIn = app.signedIn();
    } catch (...) {
        lastError = keptLine(describeError(std::current_exception(), app.options().baseURL));
    }
    if (signedIn) {
        try {
            user = app.client().me();
        } catch (...) {
            lastError = keptLine(describeError(std::current_exception(), app.options().baseURL));
        }
    }
    tarn::VPNConnectionState state = tarn::VPNConnectionState::disconnected();
    try {
        state = app.vpnState();
    } catch (const std::exception& e) {
        state = tarn::VPNConnectionState::failed(e.what());
    }
    return tarn::DiagnosticsBuilder{}.build(user, app.deviceID(), TARNCTL_VERSION, state, lastError);
}

int runDiagnostics(App& app) {
    std::string report = diagnosticsReport(app);
    if (app.out().json()) {
        // The report's fields as members, for scripts; the text as it would be pasted, too.
        JsonObject doc;
        std::istringstream lines(report);
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos) doc.string(line.substr(0, equals), line.substr(equals + 1));
        }
        app.out().document(doc.string("report", report).str());
    } else {
        std::cout << report << '\n';
    }
    return exitOK;
}

int runUpdateCheck(App& app, const UpdateCheckOptions& options) {
    std::string version = options.appVersion.empty() ? TARNCTL_VERSION : options.appVersion;
    tarn::IOSAppRelease release = app.client().appRelease();
    tarn::AppUpdateRequirement requirement = tarn::AppUpdatePolicy::evaluate(version, options.build, release);
    std::string kind = requirement.kind() == tarn::AppUpdateRequirement::Kind::required   ? "required"
                       : requirement.kind() == tarn::AppUpdateRequirement::Kind::optional ? "optional"
                                                                                          : "upToDate";
    if (app.out().json()) {
        app.out().document(JsonObject()
                               .string("current_version", version)
                               .integer("current_build", options.build)
                               .string("requirement", kind)
                               .raw("release", encodeRecord(release))
                               .str());
        return exitOK;
    }
    switch (requirement.kind()) {
        case tarn::AppUpdateRequirement::Kind::upToDate:
            std::cout << "Version " << shown(version) << " (build " << options.build
                      << ") is up to date; the latest release is " << shown(release.version) << " (build "
                      << release.build << ").\n";
            break;
        case tarn::AppUpdateRequirement::Kind::optional:
            std::cout << "An update is available: " << shown(release.version) << " (build " << release.build << ") at "
                      << shown(release.installURL.absoluteString()) << ".\n";
            break;
        case tarn::AppUpdateRequirement::Kind::required:
            std::cout << "An update is required: " << shown(version) << " is older than the oldest supported version, "
                      << shown(release.minimumSupportedVersion) << ". Install " << shown(release.version) << " from "
                      << shown(release.installURL.absoluteString()) << ".\n";
            break;
    }
    if (requirement.kind() != tarn::AppUpdateRequirement::Kind::upToDate && release.releaseNotes) {
        std::cout << "Release notes: " << shown(*release.releaseNotes) << '\n';
    }
    return exitOK;
}

int runCatalog(App& app) {
    tarn::BillingCatalog catalog = app.client().billingCatalog();
    if (app.out().json()) {
        app.out().document(encodeRecord(catalog));
        return exitOK;
    }
    Table table({"TARIFF", "TITLE", "DAYS", "DEVICES", "PRICE", "PER MONTH"});
    for (const auto& group : catalog.tariffGroups) {
        bool first = true;
        for (const auto& v : group.variants) {
            std::string devices = std::to_string(v.limit) + (v.limit == group.defaultLimit ? " (default)" : "");
            table.row({first ? group.id + (group.featured ? " *" : "") : "", first ? group.title : "",
                       first ? std::to_string(group.days) : "", devices, std::to_string(v.priceRUB) + " " + catalog.currency,
                       std::to_string(v.monthRUB) + " " + catalog.currency});
            first = false;
        }
    }
    table.print(std::cout);
    std::cout << '\n';
    Table methods({"PAYMENT", "METHOD", "", "DETAILS"});
    for (const auto& m : catalog.paymentMethods) methods.row({m.id, m.label, m.recurring ? "recurring" : "", m.hint});
    methods.print(std::cout);
    std::cout << "\n* featured. Buy with `tarnctl checkout TARIFF --devices N`.\n";
    return exitOK;
}

int runCheckout(App& app, const CheckoutOptions& options) {
    tarn::BlockingClient& client = app.client();
    tarn::BillingCatalog catalog = client.billingCatalog();
    const tarn::BillingTariffGroup* group = nullptr;
    for (const auto& g : catalog.tariffGroups) {
        if (g.id == options.tariff) group = &g;
    }
    if (!group) throw usageError("no tariff \"" + options.tariff + "\"; see `tarnctl catalog`");
    std::int64_t devices = options.devices.value_or(group->defaultLimit);
    if (!group->variant(devices)) {
        throw usageError("tariff " + group->id + " is not offered for " + std::to_string(devices) + " devices; see `tarnctl catalog`");
    }
    std::string method = options.method;
    if (method.empty() && !catalog.paymentMethods.empty()) method = catalog.paymentMethods.front().id;

    tarn::BillingCheckoutRequest request{group->id, devices, method, options.recurring, clientPlatform,
                                         options.promo.empty() ? std::nullopt : std::optional(options.promo)};
    tarn::BillingCheckoutResponse checkout = client.createBillingCheckout(request);
    if (app.out().json()) {
        app.out().document(encodeRecord(checkout));
        return exitOK;
    }
    std::cout << "Payment " << checkout.paymentID << " (" << shown(checkout.status) << "): " << rub(checkout.amountRUB) << " for "
              << checkout.devicesLimit << " devices";
    if (checkout.discountAmountRUB > 0) {
        std::cout << ", " << rub(checkout.discountAmountRUB) << " off with " << shown(checkout.promoCode);
    }
    std::cout << ".\nConfirm the payment at:\n  " << shown(checkout.confirmationURL.absoluteString()) << '\n';
    return exitOK;
}

}  // namespace tarnctl
