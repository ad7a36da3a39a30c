# The operator's guide as a page that a browser shows, with its pictures
# beside it: INPUT, the guide in Markdown, to OUTPUT, through MARKDOWN,
# Python-Markdown's command (python3-markdown), with tables.
#   cmake -DMARKDOWN=markdown_py -DINPUT=guide.md -DOUTPUT=guide.html -P guide_html.cmake
execute_process(COMMAND ${MARKDOWN} -e utf-8 -o html -x tables -x fenced_code -x toc ${INPUT}
                OUTPUT_VARIABLE body RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${MARKDOWN} could not convert ${INPUT}")
endif()
file(STRINGS ${INPUT} title LIMIT_COUNT 1 REGEX "^# " ENCODING UTF-8)
string(REGEX REPLACE "^# " "" title "${title}")
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"zh-CN\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${title}</title>
<style>
body { max-width: 50em; margin: 2em auto; padding: 0 1em; line-height: 1.6;
       font-family: \"Microsoft YaHei\", \"Noto Sans CJK SC\", \"WenQuanYi Micro Hei\", sans-serif; }
table { border-collapse: collapse; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.6em; text-align: left; }
pre, code { background: #f4f4f4; }
pre { padding: 0.6em; overflow-x: auto; }
img { max-width: 100%; }
</style>
</head>
<body>
${body}
</body>
</html>
")
