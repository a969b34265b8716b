"""The member layer: how the add-in finds, reads, assigns and calls the
Office.js-named members of the simulated objects.

Members are declared with ``@prop`` (readable, optionally writable) and
``@method``; the add-in dispatches GET/SET/CALL to them by name, so a member
that is not declared is reported to the user as unknown rather than guessed
at. Every failure is a ``JsError`` whose text starts with an Office.js error
code, as a real add-in's do.
"""

import inspect
import itertools
import math

from com_like_host import member_names

ITEM_NOT_FOUND = "ItemNotFound"
INVALID_ARGUMENT = "InvalidArgument"
ITEM_ALREADY_EXISTS = "ItemAlreadyExists"
INVALID_REFERENCE = "InvalidReference"
INVALID_OPERATION = "InvalidOperation"
GENERAL_EXCEPTION = "GeneralException"


class JsError(Exception):
    """An error the add-in answers with: "Code: text", the text for the user.
    ``missing`` is true for a member that does not exist (what Python sees
    as an attribute error)."""

    def __init__(self, code, text, missing=False):
        super().__init__("%s: %s" % (code, text))
        self.code = code
        self.text = text
        self.missing = missing


class prop:
    """A readable member; ``.setter`` makes it writable."""

    def __init__(self, fget):
        self.fget = fget
        self.fset = None
        self.__doc__ = fget.__doc__

    def setter(self, fset):
        self.fset = fset
        return self

    # A descriptor, so that the model's own code can write self.values.
    def __get__(self, obj, cls=None):
        return self if obj is None else self.fget(obj)

    def __set__(self, obj, value):
        if self.fset is None:
            raise AttributeError("read-only member")
        self.fset(obj, value)


def method(fn=None, *, mutating=False, deferred=None):
    """A callable member. ``mutating`` methods change the workbook: inside
    a batch they are queued like SETs, so a batch keeps its order, and
    answer None, as a call the add-in defers to the commit does.
    ``deferred`` (a type name) marks a method that only describes an object
    of that type, as Office.js's get* methods do: a bad argument is reported
    where the object is first used, not by the call."""
    def mark(f):
        f._js_method = True
        f._js_mutating = mutating
        f._js_deferred = deferred
        return f
    return mark(fn) if fn is not None else mark


def unknown_member(type_name, name):
    # The add-in gives the same text, from the same table.
    return JsError(INVALID_ARGUMENT, member_names.missing_member_text(type_name, name),
                   missing=True)


_defined = itertools.count()


class JsObject:
    js_type = "Object"
    _member_cache = None
    defined = 0          # the order classes were defined in, for the member table

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.defined = next(_defined)

    @classmethod
    def members(cls):
        cache = cls.__dict__.get("_member_cache")
        if cache is None:
            cache = {}
            for klass in reversed(cls.__mro__):
                for name, value in vars(klass).items():
                    if isinstance(value, prop) or getattr(value, "_js_method", False):
                        cache[name] = value
            cls._member_cache = cache
        return cache

    @prop
    def isNullObject(self):
        return False

    def get_member(self, name):
        m = self.members().get(name)
        if m is None:
            raise unknown_member(self.js_type, name)
        if isinstance(m, prop):
            return m.fget(self)
        return Function(m, name, owner=self)

    def member_setter(self, name):
        """Return a one-argument function that assigns ``name``; checked up
        front so that a batch refuses a bad SET when it is queued."""
        m = self.members().get(name)
        if m is None:
            raise unknown_member(self.js_type, name)
        if not isinstance(m, prop):
            raise JsError(INVALID_ARGUMENT, "%s.%s is a method and cannot be assigned; "
                          "call it instead" % (self.js_type, name))
        if m.fset is None:
            raise JsError(INVALID_ARGUMENT, "%s.%s is read-only" % (self.js_type, name))
        return lambda value: m.fset(self, value)

    def get_item(self, key):
        raise JsError(INVALID_ARGUMENT, "%s does not support item access ([...])" % self.js_type)


class NullObject(JsObject):
    """What an ``...OrNullObject`` method gives when there is nothing: an
    object of the asked-for type whose ``isNullObject`` is true; any other
    use fails as the missing item would."""

    def __init__(self, js_type, what):
        self.js_type = js_type
        self.what = what

    def missing(self, name):
        return JsError(ITEM_NOT_FOUND, "%s is a null object (%s does not exist); check "
                       "isNullObject before using %r" % (self.js_type, self.what, name))

    def get_member(self, name):
        if name == "isNullObject":
            return True
        raise self.missing(name)

    def member_setter(self, name):
        raise self.missing(name)

    def get_item(self, key):
        raise self.missing("[%s]" % key)


class BadObject(NullObject):
    """What a ``deferred`` method gives for a bad argument: an object of the
    type it would have made, whose every use fails with that error, naming
    the call that made it. A member its type does not have is still
    missing."""

    def __init__(self, js_type, made_by, error):
        super().__init__(js_type, made_by)
        self.error = error

    def missing(self, name):
        e = JsError(self.error.code, "%s: %s" % (self.what, self.error.text))
        e.origin = self
        return e

    def get_member(self, name):
        if name == "isNullObject":
            return False    # not a null object: Office.js gives those only for *OrNullObject
        member = _class_named(self.js_type).members().get(name)
        if member is None:
            raise unknown_member(self.js_type, name)
        if isinstance(member, prop):
            raise self.missing(name)

        # A method is there to call; what it makes fails as this object does.
        def fail(*args, **kwargs):
            raise self.missing(name)
        fail._js_deferred = getattr(member, "_js_deferred", None)
        return Function(fail, name, owner=self)


def _class_named(js_type):
    todo = [JsObject]
    while todo:
        cls = todo.pop()
        if cls.__dict__.get("js_type") == js_type:
            return cls
        todo += cls.__subclasses__()
    return JsObject


class Function(JsObject):
    """A function object handed out by reference: a method taken off an
    object, or one of the add-in's fixed top-level functions."""
    js_type = "Function"

    def __init__(self, fn, name, owner=None):
        self.fn = fn
        self.name = name
        self.owner = owner
        self.mutating = getattr(fn, "_js_mutating", False)

    @property
    def label(self):
        if self.owner is None:
            return self.name
        return "%s.%s" % (getattr(self.owner, "js_type", "?"), self.name)

    def _bound(self, args):
        return args if self.owner is None else (self.owner,) + tuple(args)

    def bind(self, args, kwargs):
        """Check the arguments against the signature, so that a wrong call
        is answered with the signature instead of a stack trace."""
        sig = inspect.signature(self.fn)
        known = None if self.owner is None else member_names.parameters(
            getattr(self.owner, "js_type", None), self.name)
        for keyword in kwargs:
            if known is not None and keyword not in known:
                raise JsError(INVALID_ARGUMENT, member_names.unknown_keyword_text(
                    self.label, keyword, known))
        try:
            sig.bind(*self._bound(args), **kwargs)
        except TypeError as e:
            params = list(sig.parameters.values())[0 if self.owner is None else 1:]
            shown = ", ".join(str(p) for p in params)
            raise JsError(INVALID_ARGUMENT, "%s(%s): %s" % (self.label, shown, e)) from None

    def call(self, args, kwargs):
        self.bind(args, kwargs)
        return self.fn(*self._bound(args), **kwargs)

    def get_member(self, name):
        raise JsError(INVALID_ARGUMENT, "a function has no members (tried %r)" % name, missing=True)

    def member_setter(self, name):
        raise JsError(INVALID_ARGUMENT, "Function members cannot be assigned")


class PyCallback:
    """A Python function that the add-in holds by its callable id."""
    js_type = "Python_Function"

    def __init__(self, callable_id):
        self.callable_id = callable_id
        self.retained = False


class Collection(JsObject):
    """The members every list-like collection of the workbook has, over the
    items ``_items()`` gives in order (checking that the owner is alive).
    ``noun`` names it in errors ("tables"); ``_how_many(n)`` says how many
    items there are ("there are 2 tables")."""
    noun = "items"

    def _items(self):
        raise NotImplementedError

    def _how_many(self, n):
        return "there are %d %s" % (n, self.noun)

    @prop
    def count(self):
        return len(self._items())

    @prop
    def items(self):
        return self._items()

    @method
    def getCount(self):
        return len(self._items())

    @method
    def getItemAt(self, index):
        items = self._items()
        i = int_arg(index, "getItemAt index")
        if not 0 <= i < len(items):
            raise JsError(ITEM_NOT_FOUND, "%s.getItemAt(%d): %s"
                          % (self.noun, i, self._how_many(len(items))))
        return items[i]

    def get_item(self, key):
        return item_at(self._items(), key, self.noun)


class KeyedCollection(Collection):
    """A collection whose items are also found by a key: ``_find(key)``
    gives the item or None. For a missing key ``getItemOrNullObject`` gives
    a null object of ``item_type``; errors name an item ``item_noun``."""
    item_type = "Object"
    item_noun = "item"

    def _find(self, key):
        raise NotImplementedError

    def _not_found(self, key):
        return "%s.getItem(%r): no such %s" % (self.noun, key, self.item_noun)

    @method
    def getItem(self, key):
        item = self._find(key)
        if item is None:
            raise JsError(ITEM_NOT_FOUND, self._not_found(key))
        return item

    @method
    def getItemOrNullObject(self, key):
        item = self._find(key)
        if item is None:
            return NullObject(self.item_type, "%s %r" % (self.item_noun, key))
        return item


def item_at(items, key, what):
    """collection[key] as the add-in answers it: by position only, counting
    from the end when negative."""
    try:
        i = int(key)
    except ValueError:
        raise JsError(INVALID_ARGUMENT, "%s[%r]: use a position" % (what, key)) from None
    if not -len(items) <= i < len(items):
        raise JsError(ITEM_NOT_FOUND, "%s[%s]: the collection has %d item(s)"
                      % (what, key, len(items)))
    return items[i]


def int_arg(value, what):
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value != int(value)):
        raise JsError(INVALID_ARGUMENT, "%s must be a whole number, got %r" % (what, value))
    return int(value)
