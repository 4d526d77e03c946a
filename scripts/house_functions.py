"""Function lengths in C++ sources, without a compiler.

Comments, string and character literals are blanked first; then every brace
block is classified by the text before it. A block whose head ends in a
parameter list (optionally followed by qualifiers, a trailing return type or
a constructor's initialisers) and that sits at namespace or class scope is a
function; lambdas and nested blocks count toward the function around them,
which is the point: a route installer made of lambdas is one long function.
"""
import re

_KEYWORD_HEADS = re.compile(r'\b(if|for|while|switch|catch|do|else|try|namespace|class|struct|union|enum)\b[^;{}]*$')


def _blank(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i))
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            k = text.find('(', i + 2)
            delim = ')' + text[i + 2:k] + '"'
            j = text.find(delim, k)
            j = n if j < 0 else j + len(delim)
            out.append(re.sub(r'[^\n]', ' ', text[i:j]))
            i = j
        elif c in '"\'':
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator 1'000
                out.append(' ')
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j = min(j + 1, n)
            out.append(c + ' ' * (j - i - 2) + c if j - i >= 2 else ' ')
            i = j
        elif c == '#' and (i == 0 or text[i - 1] == '\n'):
            j = i
            while True:  # preprocessor lines, with continuations
                e = text.find('\n', j)
                e = n if e < 0 else e
                if e > 0 and text[e - 1] == '\\':
                    j = e + 1
                    continue
                break
            out.append(re.sub(r'[^\n]', ' ', text[i:e]))
            i = e
        else:
            out.append(c)
            i += 1
    return ''.join(out)


def _is_function_head(head):
    head = head.strip()
    if not head or _KEYWORD_HEADS.search(head):
        return False
    # Drop a constructor's initialiser list: ") : a_(x), b_{y}"
    head = re.sub(r'\)\s*:\s*[\w:<>,\s(){}\[\]]*$', ')', head)
    head = re.sub(r'(\b(const|noexcept|override|final|mutable)\b|->\s*[\w:<>,&*\s]+)\s*$', '', head).strip()
    head = re.sub(r'(\b(const|noexcept|override|final)\b\s*)+$', '', head).strip()
    if not head.endswith(')'):
        return False
    return not head.rstrip(')').rstrip().endswith('=')


def code_lines(path):
    """The lines of `path` with comments, literals and preprocessor lines blanked."""
    return _blank(open(path, encoding='utf-8', errors='replace').read()).split('\n')


def functions(path):
    """Yields (name, first line, line count) for every function defined in `path`."""
    text = _blank(open(path, encoding='utf-8', errors='replace').read())
    stack = []  # (kind, start offset, head text) per open brace
    last = 0    # where the current statement's head started
    for m in re.finditer(r'[{};]', text):
        c, pos = m.group(), m.start()
        if c == ';':
            last = pos + 1
        elif c == '{':
            head = text[last:pos]
            outer = [k for k, _, _ in stack]
            in_function = 'function' in outer
            kind = 'block'
            if not in_function and _is_function_head(head):
                kind = 'function'
            elif not in_function and re.search(r'\b(namespace|class|struct|union)\b[^;{}()]*$', head):
                kind = 'scope'
            elif not in_function and re.search(r'\bextern\s+"', head):
                kind = 'scope'
            stack.append((kind, pos, head))
            last = pos + 1
        else:
            if not stack:
                continue
            kind, start, head = stack.pop()
            if kind == 'function':
                first = text.count('\n', 0, start) + 1
                end = text.count('\n', 0, pos) + 1
                name = re.findall(r'([~\w:]+)\s*\(', head)
                yield (name[0] if name else '?', first, end - first + 1)
            last = pos + 1
