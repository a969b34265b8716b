"""The formula language of the simulated workbook, small on purpose.

"=" expr, where expr has decimal numbers, same-sheet cell references
(A1, $A$1), parentheses, unary minus and + - * / with the usual precedence;
and the functions SUM, AVERAGE, MIN, MAX and COUNT, whose arguments are
ranges (A1:B3), cell references or expressions. Anything else reads
"#NAME?". Values are computed when read, from the current cells; a circular
reference reads 0.
"""

import functools
import math
import re

from .addresses import AddressError, parse_cell
from .cells import is_formula, number


class ErrorValue:
    """An Excel error value; it reads as its text."""
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


DIV0 = ErrorValue("#DIV/0!")
VALUE = ErrorValue("#VALUE!")
NAME = ErrorValue("#NAME?")
NUM = ErrorValue("#NUM!")

_TOKEN = re.compile(r"\s*(?:([0-9]+(?:\.[0-9]+)?)|([A-Za-z_$][A-Za-z0-9_.$]*)|([-+*/(),:]))")


class _Unparsable(Exception):
    pass


def _tokens(text):
    pos, out = 0, []
    text = text.rstrip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m or m.end() == pos:
            raise _Unparsable()
        num, word, op = m.groups()
        if num is not None:
            out.append(("num", float(num)))
        elif word is not None:
            out.append(("word", word))
        else:
            out.append(("op", op))
        pos = m.end()
    out.append(("end", None))
    return out


def _cell(word):
    try:
        return parse_cell(word)
    except AddressError:
        raise _Unparsable() from None


class _Parser:
    """Recursive descent over the tokens; nodes are tuples."""

    def __init__(self, tokens):
        self.tokens = tokens
        self.i = 0

    def peek(self, offset=0):
        return self.tokens[self.i + offset]

    def take(self, kind=None, value=None):
        tok = self.tokens[self.i]
        if (kind and tok[0] != kind) or (value and tok[1] != value):
            raise _Unparsable()
        self.i += 1
        return tok

    def expr(self):
        node = self.term()
        while self.peek() in (("op", "+"), ("op", "-")):
            node = ("bin", self.take()[1], node, self.term())
        return node

    def term(self):
        node = self.unary()
        while self.peek() in (("op", "*"), ("op", "/")):
            node = ("bin", self.take()[1], node, self.unary())
        return node

    def unary(self):
        if self.peek() == ("op", "-"):
            self.take()
            return ("neg", self.unary())
        return self.primary()

    def primary(self):
        kind, value = self.take()
        if kind == "num":
            return ("num", number(value))
        if kind == "op" and value == "(":
            node = self.expr()
            self.take("op", ")")
            return node
        if kind == "word":
            if self.peek() == ("op", "("):
                return self.function(value.upper())
            return ("ref", _cell(value))
        raise _Unparsable()

    def function(self, name):
        if name not in _FUNCTIONS:
            raise _Unparsable()
        self.take("op", "(")
        args = []
        if self.peek() != ("op", ")"):
            args.append(self.argument())
            while self.peek() == ("op", ","):
                self.take()
                args.append(self.argument())
        self.take("op", ")")
        return ("fn", name, args)

    def argument(self):
        if self.peek()[0] == "word" and self.peek(1) == ("op", ":"):
            r0, c0 = _cell(self.take()[1])
            self.take()
            r1, c1 = _cell(self.take("word")[1])
            return ("range", (min(r0, r1), min(c0, c1), max(r0, r1), max(c0, c1)))
        return self.expr()


@functools.lru_cache(maxsize=4096)
def parse(formula):
    """The tree of a formula ("=..."), or None when it reads "#NAME?"."""
    try:
        parser = _Parser(_tokens(formula[1:]))
        node = parser.expr()
        parser.take("end")
        return node
    except (_Unparsable, RecursionError):
        return None


def _numbers(values):
    """The numbers among the values; an error value ends the walk."""
    out = []
    for v in values:
        if isinstance(v, ErrorValue):
            return v
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            out.append(v)
    return out


def _average(nums):
    return sum(nums) / len(nums) if nums else DIV0


_FUNCTIONS = {
    "SUM": sum,
    "AVERAGE": _average,
    "MIN": lambda nums: min(nums) if nums else 0,
    "MAX": lambda nums: max(nums) if nums else 0,
    "COUNT": len,
}


class Evaluator:
    """Computes formula cells of one sheet for one read; results are kept
    for the read, so a block of formulas costs each cell once."""

    def __init__(self, cells):
        self.cells = cells
        self.memo = {}

    def raw(self, key):
        cell = self.cells.get(key)
        return "" if cell is None else cell.value

    def result(self, key):
        """The cell's value as read: its constant, or its formula's result
        (a number or an ErrorValue; a lone reference's text or boolean)."""
        raw = self.raw(key)
        if not is_formula(raw):
            return raw
        if key not in self.memo:
            self._settle(key)
        return self.memo[key]

    def _settle(self, key):
        # Depth first without recursion, so that a long chain of formulas
        # cannot exhaust the stack: a cell is computed once every formula
        # it refers to is. A cell met again while it waits closes a cycle,
        # and every cell of the cycle reads 0.
        path, waiting = [key], {key: self._formula_refs(key)}
        while path:
            top = path[-1]
            dep = next(waiting[top], None)
            if dep is None:
                path.pop()
                del waiting[top]
                if top not in self.memo:
                    self.memo[top] = self._compute(top)
            elif dep in waiting:
                for k in path[path.index(dep):]:
                    self.memo[k] = 0
            elif dep not in self.memo:
                path.append(dep)
                waiting[dep] = self._formula_refs(dep)

    def _formula_refs(self, key):
        node = parse(self.raw(key))
        if node is None:
            return iter(())
        return (k for k in self._refs(node) if k not in self.memo and is_formula(self.raw(k)))

    def _refs(self, node):
        kind = node[0]
        if kind == "ref":
            yield node[1]
        elif kind == "range":
            yield from self._block_keys(node[1])
        elif kind == "neg":
            yield from self._refs(node[1])
        elif kind == "bin":
            rights = []
            while node[0] == "bin":         # a long sum: walk its left chain
                rights.append(node[3])
                node = node[2]
            yield from self._refs(node)
            for right in reversed(rights):
                yield from self._refs(right)
        elif kind == "fn":
            for arg in node[2]:
                yield from self._refs(arg)

    def _block_keys(self, block):
        """The stored cells of a block, row by row."""
        r0, c0, r1, c1 = block
        if (r1 - r0 + 1) * (c1 - c0 + 1) <= len(self.cells):
            return [(r, c) for r in range(r0, r1 + 1) for c in range(c0, c1 + 1)
                    if (r, c) in self.cells]
        return sorted(k for k in self.cells if r0 <= k[0] <= r1 and c0 <= k[1] <= c1)

    def _compute(self, key):
        node = parse(self.raw(key))
        if node is None:
            return NAME
        if node[0] == "ref":
            # A lone reference gives the referenced value itself, as Excel
            # does ("=A3" shows A3's text, TRUE stays TRUE); empty gives 0.
            value = self.result(node[1])
            return 0 if isinstance(value, str) and value == "" else value
        value = self._eval(node)
        if isinstance(value, float) and not math.isfinite(value):
            return NUM
        return number(value) if isinstance(value, float) else value

    def _eval(self, node):
        kind = node[0]
        if kind == "num":
            return node[1]
        if kind == "ref":
            return _arithmetic(self.result(node[1]))
        if kind == "neg":
            v = self._eval(node[1])
            return v if isinstance(v, ErrorValue) else -v
        if kind == "bin":
            return self._binary(node)
        return self._function(node[1], node[2])

    def _binary(self, node):
        # "=1+2+...+n" parses to a chain of left operands as long as the
        # formula: walk it instead of recursing, left to right, the first
        # error winning.
        chain = []
        while node[0] == "bin":
            chain.append((node[1], node[3]))
            node = node[2]
        a = self._eval(node)
        for op, right in reversed(chain):
            if isinstance(a, ErrorValue):
                return a
            b = self._eval(right)
            if isinstance(b, ErrorValue):
                return b
            if op == "+":
                a = a + b
            elif op == "-":
                a = a - b
            elif op == "*":
                a = a * b
            else:
                a = DIV0 if b == 0 else a / b
        return a

    def _function(self, name, args):
        values = []
        for arg in args:
            if arg[0] == "range":
                values.extend(self.result(k) for k in self._block_keys(arg[1]))
            elif arg[0] == "ref":
                values.append(self.result(arg[1]))
            else:
                values.append(self._eval(arg))
        nums = _numbers(values)
        if isinstance(nums, ErrorValue):
            return nums
        return _FUNCTIONS[name](nums)


def _arithmetic(value):
    """A referenced cell's value in arithmetic: empty 0, a boolean 1 or 0,
    text "#VALUE!"."""
    if isinstance(value, ErrorValue):
        return value
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, str):
        return 0 if value == "" else VALUE
    return value
