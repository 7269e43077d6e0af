<?xml version="1.0" encoding="utf-8"?>
<!-- Renders an interface definition (root element Library) as an HTML page. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="utf-8" indent="yes"/>

  <xsl:template match="/Library">
    <html>
      <head>
        <title><xsl:value-of select="@Name"/> documentation</title>
        <link rel="stylesheet" type="text/css" href="/doc/css"/>
      </head>
      <body>
        <h1><xsl:value-of select="@Name"/> documentation</h1>
        <xsl:if test="Documentation">
          <p class="doc"><xsl:value-of select="Documentation"/></p>
        </xsl:if>
        <xsl:if test="Services/Service">
          <h2>Services</h2>
          <xsl:apply-templates select="Services/Service"/>
        </xsl:if>
        <xsl:if test="Structs/Struct">
          <h2>Structs</h2>
          <xsl:apply-templates select="Structs/Struct"/>
        </xsl:if>
        <xsl:if test="Arrays/Array">
          <h2>Arrays</h2>
          <xsl:apply-templates select="Arrays/Array"/>
        </xsl:if>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="Service">
    <h3><a name="{@Name}"><xsl:value-of select="@Name"/></a></h3>
    <xsl:if test="Documentation">
      <p class="doc"><xsl:value-of select="Documentation"/></p>
    </xsl:if>
    <table>
      <tr><th>Operation</th><th>Parameters</th><th>Result</th></tr>
      <xsl:apply-templates select="Interfaces/Interface/Operations/Operation"/>
    </table>
  </xsl:template>

  <xsl:template match="Operation">
    <tr>
      <td>
        <xsl:value-of select="@Name"/>
        <xsl:if test="Documentation">
          <div class="doc"><xsl:value-of select="Documentation"/></div>
        </xsl:if>
      </td>
      <td>
        <xsl:for-each select="Parameters/Parameter[@Flag != 'Result']">
          <div>
            <span class="flag"><xsl:value-of select="@Flag"/></span>
            <xsl:text> </xsl:text>
            <xsl:value-of select="@Name"/>
            <xsl:text>: </xsl:text>
            <xsl:call-template name="type-link"/>
          </div>
        </xsl:for-each>
      </td>
      <td>
        <xsl:for-each select="Parameters/Parameter[@Flag = 'Result']">
          <xsl:call-template name="type-link"/>
        </xsl:for-each>
      </td>
    </tr>
  </xsl:template>

  <xsl:template match="Struct">
    <h3><a name="{@Name}"><xsl:value-of select="@Name"/></a></h3>
    <xsl:if test="Documentation">
      <p class="doc"><xsl:value-of select="Documentation"/></p>
    </xsl:if>
    <table>
      <tr><th>Element</th><th>Type</th></tr>
      <xsl:for-each select="Elements/Element">
        <tr>
          <td><xsl:value-of select="@Name"/></td>
          <td><xsl:call-template name="type-link"/></td>
        </tr>
      </xsl:for-each>
    </table>
  </xsl:template>

  <xsl:template match="Array">
    <h3><a name="{@Name}"><xsl:value-of select="@Name"/></a></h3>
    <xsl:if test="Documentation">
      <p class="doc"><xsl:value-of select="Documentation"/></p>
    </xsl:if>
    <p>
      <xsl:text>Array of </xsl:text>
      <xsl:for-each select="ElementType">
        <xsl:call-template name="type-link"/>
      </xsl:for-each>
    </p>
  </xsl:template>

  <!-- The data type of the current node; a type of the library links to its description. -->
  <xsl:template name="type-link">
    <xsl:variable name="type" select="@DataType"/>
    <span class="type">
      <xsl:choose>
        <xsl:when test="/Library/Structs/Struct[@Name = $type] or /Library/Arrays/Array[@Name = $type]">
          <a href="#{$type}"><xsl:value-of select="$type"/></a>
        </xsl:when>
        <xsl:otherwise>
          <xsl:value-of select="$type"/>
        </xsl:otherwise>
      </xsl:choose>
    </span>
  </xsl:template>
</xsl:stylesheet>
