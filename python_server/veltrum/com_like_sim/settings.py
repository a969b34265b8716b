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

    def __init__(self, store):
        self.store = store

    @prop
    def items(self):
        return [Setting(self.store, k) for k in self.store]

    @method
    def getCount(self):
        return len(self.store)

    @method
    def add(self, key, value):
        self.store[_key(key)] = value
        return Setting(self.store, key)

    @method(deferred="Setting")
    def getItem(self, key):
        if _key(key) not in self.store:
            raise JsError(ITEM_NOT_FOUND, "there is no setting %r" % key)
        return Setting(self.store, key)

    @method
    def getItemOrNullObject(self, key):
        if _key(key) not in self.store:
            return NullObject("Setting", "setting %r" % key)
        return Setting(self.store, key)


class Setting(JsObject):
    js_type = "Setting"

    def __init__(self, store, key):
        self.store = store
        self.key_ = key

    def _check(self):
        if self.key_ not in self.store:
            raise JsError(ITEM_NOT_FOUND, "the setting %r was deleted" % self.key_)

    @prop
    def key(self):
        self._check()
        return self.key_

    @prop
    def value(self):
        self._check()
        return self.store[self.key_]

    @value.setter
    def value(self, value):
        self._check()
        self.store[self.key_] = value

    @method(mutating=True)
    def delete(self):
        self._check()
        del self.store[self.key_]
