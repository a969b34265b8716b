"""workbook.settings: this add-in's settings in this workbook, which
GetSetting reads. An add-in starts with none."""

from .members import (INVALID_ARGUMENT, ITEM_NOT_FOUND, JsError, JsObject, NullObject, method,
                      prop)


def _key(key):
    if not isinstance(key, str) or not key:
        raise JsError(INVALID_ARGUMENT, "a setting's key must be non-empty text, got %r" % (key,))
    return key


class SettingCollection(JsObject):
    js_type = "SettingCollection"

    def __init__(self, settings):
        self.settings = settings    # the model's dict of them

    @prop
    def items(self):
        return [Setting(self.settings, k) for k in self.settings]

    @method
    def getCount(self):
        return len(self.settings)

    @method
    def add(self, key, value):
        self.settings[_key(key)] = value
        return Setting(self.settings, key)

    @method(deferred="Setting")
    def getItem(self, key):
        if _key(key) not in self.settings:
            raise JsError(ITEM_NOT_FOUND, "there is no setting %r" % key)
        return Setting(self.settings, key)

    @method
    def getItemOrNullObject(self, key):
        if _key(key) not in self.settings:
            return NullObject("Setting", "setting %r" % key)
        return Setting(self.settings, key)


class Setting(JsObject):
    js_type = "Setting"

    def __init__(self, settings, name):
        self.settings = settings
        self.name = name            # its key

    def _check(self):
        if self.name not in self.settings:
            raise JsError(ITEM_NOT_FOUND, "the setting %r was deleted" % self.name)

    @prop
    def key(self):
        self._check()
        return self.name

    @prop
    def value(self):
        self._check()
        return self.settings[self.name]

    @value.setter
    def value(self, value):
        self._check()
        self.settings[self.name] = value

    @method(mutating=True)
    def delete(self):
        self._check()
        del self.settings[self.name]
