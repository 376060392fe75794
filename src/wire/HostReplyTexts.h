#pragma once

// Every reply type, error id and error message the host protocol writes, in one place; kipctl
// reads the reply types by these names.
namespace hostreply {

// Reply types.
constexpr const char* responseSuffix = "_response";
constexpr const char* errorInfo = "error_info";
constexpr const char* newCorvanetInfo = "new_corvanet_info";
constexpr const char* newTessoraInfo = "new_tessora_info";
constexpr const char* newIpDeviceInfo = "new_ip_device_info";

// Requests that cannot be read or dispatched.
constexpr const char* parseObjectId = "parse_object";
constexpr const char* invalidFormatPrefix = "Invalid object format: ";
constexpr const char* unsupportedTypePrefix = "Unsupported type: ";
constexpr const char* missingType = "null";
constexpr const char* tooDeepMessage = "objects nested too deeply";
constexpr const char* tooManyValuesMessage = "too many values";

// A request field that is missing or has the wrong form; the tree's message follows.
constexpr const char* invalidObjectPrefix = "Invalid object: ";
constexpr const char* setCorvanetIpInvalidId = "set_corvanet_ip";
constexpr const char* setTessoraInfoInvalidId = "set_tessora_info";

// Reading the system (or the subsystems) failed; the error text is the message.
constexpr const char* hasSystemFailedId = "has_corvanet_system_ack";
constexpr const char* getIpSettingsFailedId = "get_corvanet_ip_ack";
constexpr const char* mayChangeIpFailedId = "may_change_corvanet_ip_ack";
constexpr const char* mayUseBuilderFailedId = "may_use_builder_ack";
constexpr const char* getDevicesFailedId = "get_devices_corvanet_ack";
constexpr const char* getDevicesSubsystemsFailedId = "get_devices_system_ack";
constexpr const char* setTessoraSystemFailedId = "set_tessora_info_corvanet_ack";
constexpr const char* getCorvanetsFailedId = "get_corvanets_ack";

// A change failed; the error text is the message (for the IP change it is the id).
constexpr const char* setIpSettingsFailedMessage = "Set corvanet ip settings error";
constexpr const char* setTessoraFailedId = "set_tessora_info_ack";
// Never sent today: a router kept in the system is always confirmed (NetManager::confirmRouter).
constexpr const char* addRouterFailedId = "set_tessora_info_add_ack";

// This box has no system.
constexpr const char* noSystemId = "corvanet_has_no_system";
constexpr const char* noSystemForBuilder = "The Corvanet is not initialised: system configuration is not allowed";
constexpr const char* noSystemForSearch = "The Corvanet is not initialised: can not search for devices";
constexpr const char* noSystemForTessora = "The Corvanet is not initialised: can not change tessora settings";

}  // namespace hostreply
