#include "platform/Command.h"

Json::Value Command::getDescriptionJSON() {
    Json::Value cmd(Json::objectValue);
    cmd["name"] = name;
    cmd["description"] = getDescription();
    cmd["hidden"] = hidden();
    Json::Value list(Json::arrayValue);
    for (const auto& a : args) {
        Json::Value arg(Json::objectValue);
        arg["name"] = a.name;
        arg["type"] = a.type;
        arg["description"] = a.description;
        arg["optional"] = a.optional;
        if (!a.defaultValue.empty()) arg["default"] = a.defaultValue;
        if (!a.allowableValues.empty()) {
            Json::Value values(Json::arrayValue);
            for (const auto& v : a.allowableValues) values.append(v);
            arg["contents"] = values;
        }
        // -1 marks an unset bound.
        if (a.min != -1) arg["min"] = a.min;
        if (a.max != -1) arg["max"] = a.max;
        if (!a.contentListUrl.empty()) arg["contentListUrl"] = a.contentListUrl;
        if (!a.adminRequired.empty()) arg["adminRequired"] = a.adminRequired;
        list.append(arg);
    }
    cmd["args"] = list;
    return cmd;
}
