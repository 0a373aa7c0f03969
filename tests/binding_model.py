"""How a call's arguments bind to AISummary's parameters, in plain Python.

Written from the binding rules alone, so the property tests can compare
the extension against it: `bind` either returns the parameter values or
raises the TypeError the extension must raise, with the same text. The
methods are those of support.lines.METHODS.
"""

_NOTHING = object()


def count_error(method, given):
    """The positional-count TypeError, counts including `self`."""
    m, n = method.required, len(method.params)
    word, limit = ("at least", m) if given < m else ("at most", n)
    plural = "" if limit == 1 else "s"
    return TypeError(f"{method.name}() takes {word} {limit} positional "
                     f"argument{plural} ({given} given)")


def _is_str(o):
    return isinstance(o, str)


def _same_text(a, b):
    # Equal length and characters, whatever str subclass either is.
    return str.__eq__(a, b) is True


def _lookup(name, kwnames):
    """Index of the keyword naming `name`, or None; may raise from ==."""
    for j, kw in enumerate(kwnames):
        if kw is name:
            return j
    for j, kw in enumerate(kwnames):
        if type(kw) is str:
            if _same_text(kw, name):
                return j
        elif kw is not None and kw == name:
            return j
    return None


def bind(method, args, kwnames=(), kwvalues=()):
    """Parameter name -> value for the call, or raise its TypeError.

    `args` are all positional arguments, the instance first for a bound
    call; `kwnames`/`kwvalues` are the keywords in call order. Parameter
    names are compared by identity against `method.params`, whose strings
    are the interned ones a Python call site passes.
    """
    params, m, n = method.params, method.required, len(method.params)
    k, r = len(args), len(kwnames)
    bound = dict(zip(params, args))
    defaults = dict(zip(params[m:], method.defaults))

    if r == 0:
        if not m <= k <= n:
            raise count_error(method, k)
        return {p: bound.get(p, defaults.get(p)) for p in params}

    if k > n:
        raise count_error(method, k)

    used = 0
    for i in range(k, m):
        j = _lookup(params[i], kwnames)
        if j is None:
            raise count_error(method, i)
        bound[params[i]] = kwvalues[j]
        used += 1

    for i in range(max(k, m), n):
        if used >= r:
            break
        j = _lookup(params[i], kwnames)
        if j is not None:
            bound[params[i]] = kwvalues[j]
            used += 1

    if used < r:
        _keyword_pass(method, k, kwnames, kwvalues, bound)

    return {p: bound[p] if p in bound else defaults[p] for p in params}


def _keyword_pass(method, k, kwnames, kwvalues, bound):
    params = method.params
    for kw, value in zip(kwnames, kwvalues):
        hit = next((p for p in params[k:] if kw is p), _NOTHING)
        if hit is _NOTHING:
            if not _is_str(kw):
                raise TypeError(f"{method.name}() keywords must be strings")
            hit = next((p for p in params[k:] if _same_text(kw, p)),
                       _NOTHING)
        if hit is not _NOTHING:
            bound[hit] = value
            continue
        if any(kw is p or _same_text(kw, p) for p in params[:k]):
            raise TypeError(f"{method.name}() got multiple values for "
                            f"keyword argument '{str.__str__(kw)}'")
        raise TypeError(f"{method.name}() got an unexpected keyword "
                        f"argument '{str.__str__(kw)}'")
